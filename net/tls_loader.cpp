// The two factories of net/tls.h, answered by the TLS module, which is
// loaded on their first use and then kept for the life of the process
// (its objects and their code must outlive every session).
#include <dlfcn.h>

#include <mutex>
#include <string>

#include "net/tls.h"

namespace {

std::mutex moduleMutex;
std::string modulePath;                // guarded by moduleMutex
const TlsModuleTable* loadedModule = nullptr;  // guarded by moduleMutex

const TlsModuleTable* Module(std::string& error) {
    std::lock_guard<std::mutex> guard(moduleMutex);
    if (loadedModule != nullptr) return loadedModule;
    if (modulePath.empty()) {
        error = std::string("the place of the TLS module ") + kTlsModuleName + " is unknown";
        return nullptr;
    }
    void* handle = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto entry = handle == nullptr
                     ? nullptr
                     : reinterpret_cast<TlsModuleEntry>(dlsym(handle, kTlsEntryName));
    if (entry == nullptr) {
        const char* reason = dlerror();
        error = "cannot load the TLS module " + modulePath + " (" +
                (reason != nullptr ? reason : "no entry point") + ")";
        if (handle != nullptr) dlclose(handle);
        return nullptr;
    }
    loadedModule = entry();
    return loadedModule;
}

}  // namespace

void SetTlsModulePath(std::string path) {
    std::lock_guard<std::mutex> guard(moduleMutex);
    modulePath = std::move(path);
}

std::shared_ptr<const TlsCredentials> TlsCredentials::LoadOrCreate(const std::string& folder,
                                                                   std::string& error) {
    const TlsModuleTable* module = Module(error);
    return module != nullptr ? module->loadOrCreate(folder, error) : nullptr;
}

std::unique_ptr<TlsContext> TlsContext::Create(std::shared_ptr<const TlsCredentials> credentials) {
    // Credentials come only from the module, so it is loaded by now.
    std::string unused;
    const TlsModuleTable* module = credentials ? Module(unused) : nullptr;
    return module != nullptr ? module->createContext(std::move(credentials)) : nullptr;
}
