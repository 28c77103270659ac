// Clang's thread-safety annotations: checked with -Wthread-safety under
// clang, empty elsewhere. They document which lock guards which member.
#pragma once

#if defined(__clang__)
#define TH_ANNOTATE(x) __attribute__((x))
#else
#define TH_ANNOTATE(x)
#endif

#define CAPABILITY(x) TH_ANNOTATE(capability(x))
#define SCOPED_CAPABILITY TH_ANNOTATE(scoped_lockable)
#define GUARDED_BY(x) TH_ANNOTATE(guarded_by(x))
#define PT_GUARDED_BY(x) TH_ANNOTATE(pt_guarded_by(x))
#define REQUIRES(...) TH_ANNOTATE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TH_ANNOTATE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) TH_ANNOTATE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TH_ANNOTATE(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS TH_ANNOTATE(no_thread_safety_analysis)
