#pragma once

// Everything the engine changes for the whole process, in one place: the protocol
// library and glibc keep these settings per process, not per session, so they are
// made once and hold for every control (see ProcessWide.cpp for why each is needed).

#include <freerdp/client/rdpgfx.h>
#include <freerdp/primitives.h>

namespace tsc::engine {

class FreeRdpControl;

// Once per process, before the first session: the library's channel add-ins, its
// pixel routines and glibc's heap limits.
void PrepareProcessForSessions();

// What PrepareProcessForSessions puts in the library's pixel routines for YUV 4:2:0
// to RGB on a processor with AVX2: the engine's conversion for BGRX32 and BGRA32, the
// routine the table had (LibraryYuv420ToRgb) for every other format. Before that,
// or without AVX2, LibraryYuv420ToRgb is null and the table is the library's.
pstatus_t ConvertYuv420ToRgb(const BYTE *const planes[3], const UINT32 steps[3], BYTE *dst, UINT32 dstStep,
                             UINT32 format, const prim_size_t *roi);
__YUV420ToRGB_8u_P3AC4R_t LibraryYuv420ToRgb();

// The library's own log (its root logger) goes to the control whose session runs on
// this process; warnings and errors only. Attach and Detach from any thread.
void RouteLibraryLogTo(FreeRdpControl *control);
void StopRoutingLibraryLogTo(FreeRdpControl *control);
// Installs the routing appender on the library's root logger (once per process).
void InstallLibraryLogAppender();

// The graphics pipeline's handlers are replaced by ones that take the frame lock
// around the library's own (taken from the first pipeline: they are the same
// functions for every session).
void WrapGraphicsPipelineHandlers(RdpgfxClientContext *gfx);
// The library's own end-of-frame handler, for when the engine does not show a
// surface itself.
UINT LibraryUpdateSurfaces(RdpgfxClientContext *gfx);

// While one lives on a thread, the library's socket reads on that thread that would
// wait for data also end, failing with ECONNABORTED, as soon as `abortDescriptor`
// becomes readable (the library's own socket read, winpr's _recv, is replaced for
// the process; outside a scope it is unchanged).
class AbortableReadScope {
  public:
    explicit AbortableReadScope(int abortDescriptor);
    ~AbortableReadScope();
    AbortableReadScope(const AbortableReadScope &) = delete;
    AbortableReadScope &operator=(const AbortableReadScope &) = delete;

  private:
    int outer_;
};

} // namespace tsc::engine
