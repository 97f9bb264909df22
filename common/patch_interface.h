// The binary interface between the store manager and a patch library such
// as libpatchapp.so.
//
// The store manager loads the library by name (dlopen, lazy binding), calls
// the exported entry point "CreatePatchApplication30Instance" when present,
// otherwise "CreatePatchApplicationInstance", applies one patch through the
// returned object, releases it (slot 0) and closes the library. The objects
// are reached through their virtual tables only, so the slot order below is
// the contract: do not reorder, insert or remove virtual functions, and do
// not add virtual destructors (a destructor would take slots of its own).
//
// Apply turns SrcDir plus the packages in PatchDir into a complete set in
// DestDir and returns non-zero on success; SrcDir's files may be changed
// (the hub is brought to the new base). Progress goes to the notification
// object, which may ask for cancellation by storing 1 in the cancel flag.
//
// Both sides include it from here, where neither owns it: the store manager
// must not depend on a companion tool, nor the library on the store's
// internals, and a copy on each side could drift from the other.
#pragma once

#include <cstdint>

class CPatchApplicationNotify {
public:
    // Slot 0. nProgress: percent done (0 to 100). *pnCancel is 0 on entry;
    // the receiver stores 1 to ask the library to stop.
    virtual void OnProgress(uint32_t nProgress, uint32_t* pnCancel) = 0;

protected:
    ~CPatchApplicationNotify() = default;
};

// The older interface.
class IPatchApplication {
public:
    virtual uint32_t Release() = 0;  // slot 0
    virtual int ApplyPatch(const char* pszPatchDir, const char* pszSrcDir, const char* pszDestDir,
                           CPatchApplicationNotify* pNotify) = 0;  // slot 1

protected:
    ~IPatchApplication() = default;
};

// The 3.0 interface: apply takes a scratch directory for the hub.
class IPatchApplication30 {
public:
    virtual uint32_t Release() = 0;    // slot 0
    virtual uint32_t Reserved1() = 0;  // slot 1, never called by the store
    virtual uint32_t Reserved2() = 0;  // slot 2, never called by the store
    virtual int ApplyPatch(const char* pszPatchDir, const char* pszSrcDir, const char* pszDestDir,
                           const char* pszHubTempDir,
                           CPatchApplicationNotify* pNotify) = 0;  // slot 3

protected:
    ~IPatchApplication30() = default;
};

// Entry points a patch library exports (either or both).
typedef IPatchApplication* (*PFN_CreatePatchApplicationInstance)();
typedef IPatchApplication30* (*PFN_CreatePatchApplication30Instance)();
