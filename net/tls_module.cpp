// The TLS module's one exported symbol (kTlsEntryName in net/tls.h).
#include "net/tls.h"
#include "net/tls_parts.h"

extern "C" [[gnu::visibility("default")]] const TlsModuleTable* tarnhold_tls_module() {
    static constexpr TlsModuleTable kModule{&LoadOrCreateCredentials, &CreateContext};
    return &kModule;
}

// The loader looks the entry up by name; a type that drifted from the
// shared declaration would show here.
[[maybe_unused]] static constexpr TlsModuleEntry kEntryMatches = &tarnhold_tls_module;
