#pragma once

// Access rights of the named shared blocks that QSharedMemory makes. On Linux Qt
// builds them as System V segments keyed by ftok() of a key file, and creates them
// readable and writable by their owner only (mode 0600): no other user's session
// could even read the block. A block meant for every session is opened up to
// read-only for the others here, never to writing.

#include <cstdint>
#include <optional>
#include <string>

namespace tsc {

struct SharedBlockFacts {
    std::uint32_t ownerUid = 0;
    std::uint32_t mode = 0; // permission bits
    std::uint64_t size = 0;
    std::uint64_t attachments = 0;
};

// The facts of the block behind a QSharedMemory native key; empty when none exists.
[[nodiscard]] std::optional<SharedBlockFacts> SharedBlockFactsOf(const std::string &nativeKey);

// Makes the block readable by everyone and writable by its owner only (mode 0644).
// False when the block does not exist or belongs to another user.
[[nodiscard]] bool ShareBlockReadOnly(const std::string &nativeKey);

} // namespace tsc
