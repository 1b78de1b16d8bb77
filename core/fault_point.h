// Named points where a test build can fail, stop or kill the process, so that fault tests hit
// an exact moment of a copy (after its first batch, just before its commit) instead of racing
// it with sleeps.
//
// Compiled in only with ZYL_TEST_HOOKS (the debug and asan presets); in other builds
// fault_point() is an empty inline function. A process is armed by its environment:
//
//   ZYL_FAULT_POINT=load.batch   the point's name
//   ZYL_FAULT_HIT=3              act on the third visit of that point (default: the first)
//   ZYL_FAULT_ACTION=fail        throw std::runtime_error("fault injected at <point>")
//                    kill        SIGKILL the process
//                    sigint      raise SIGINT, then go on
//                    wait        create <ZYL_FAULT_DIR>/reached, then wait until
//                                <ZYL_FAULT_DIR>/go exists (at most 120 s)
//                    mark        create <ZYL_FAULT_DIR>/reached, then go on
//   ZYL_FAULT_ARM=any-text       visits are counted afresh whenever this (or any of the
//                                above) changes, so one process can be armed again
//
//   fault_point("load.before_commit");
#pragma once

namespace zyl {

#ifdef ZYL_TEST_HOOKS
// Acts as the environment says when `name` is the armed point. Thread-safe.
void fault_point(const char* name);
#else
inline void fault_point(const char*) {}
#endif

}  // namespace zyl
