#include "SharedMemoryAccess.h"

#include <sys/ipc.h>
#include <sys/shm.h>

namespace tsc {

namespace {

// Qt derives the System V key of a QSharedMemory from its native key this way.
constexpr int QtProjectId = 'Q';

int SegmentOf(const std::string &nativeKey, shmid_ds &facts) {
    const key_t key = ftok(nativeKey.c_str(), QtProjectId);
    if (key == -1) return -1;
    const int id = shmget(key, 0, 0);
    if (id == -1 || shmctl(id, IPC_STAT, &facts) != 0) return -1;
    return id;
}

} // namespace

std::optional<SharedBlockFacts> SharedBlockFactsOf(const std::string &nativeKey) {
    shmid_ds facts{};
    if (SegmentOf(nativeKey, facts) < 0) return std::nullopt;
    return SharedBlockFacts{facts.shm_perm.uid, facts.shm_perm.mode & 0777u, facts.shm_segsz,
                            facts.shm_nattch};
}

bool ShareBlockReadOnly(const std::string &nativeKey) {
    shmid_ds facts{};
    const int id = SegmentOf(nativeKey, facts);
    if (id < 0) return false;
    facts.shm_perm.mode = (facts.shm_perm.mode & ~0777u) | 0644u;
    return shmctl(id, IPC_SET, &facts) == 0;
}

} // namespace tsc
