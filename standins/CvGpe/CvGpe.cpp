// The policy library: the effective policy is the set of values under the
// product's policy key; a loaded policy is a snapshot of them.
#include "CvGpe.h"

#include "PolicyInf.h"
#include "StandInWin32.h"

#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace {

const wchar_t kPolicyKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Policy";

// The DWORD "StandInPolicyFault" under the product's key makes a call fault
// with a write to address 0, as a broken policy library would, and
// "StandInPolicyHang" makes it never return: 1 in CvLoadPolicy, 2 in
// CvExportPolicy.
enum BrokenCall : DWORD { LoadBreaks = 1, ExportBreaks = 2 };

void BreakIfAsked(BrokenCall call) {
    StandIn::FaultIfAsked(L"StandInPolicyFault", call);
    StandIn::HangIfAsked(L"StandInPolicyHang", call);
}

struct Policy {
    std::vector<StandIn::NamedValue> settings;
};

// The policies handed out and not yet released. A handle that is not in the
// set (never loaded, or already released) is refused instead of being used.
class LivePolicies {
public:
    unsigned long long Add(std::unique_ptr<Policy> policy) {
        std::lock_guard<std::mutex> lock(mutex_);
        Policy* raw = policy.get();
        live_.insert(raw);
        policy.release();
        return reinterpret_cast<unsigned long long>(raw);
    }

    // Runs use on the policy under the lock; false when the handle is not live.
    template <typename Use>
    bool With(unsigned long long handle, Use use) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = live_.find(reinterpret_cast<Policy*>(handle));
        if (found == live_.end()) {
            return false;
        }
        use(**found);
        return true;
    }

    bool Remove(unsigned long long handle) {
        std::unique_ptr<Policy> owned;
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = live_.find(reinterpret_cast<Policy*>(handle));
        if (found == live_.end()) {
            return false;
        }
        owned.reset(*found);
        live_.erase(found);
        return true;
    }

private:
    std::mutex mutex_;
    std::set<Policy*> live_;
};

LivePolicies& Policies() {
    static LivePolicies policies;
    return policies;
}

// Writes the whole text as UTF-16 with a byte-order mark into a new file.
// A file that could not be written completely is deleted again, so that no
// half-written policy is left behind.
DWORD WriteTextFile(const wchar_t* path, const std::wstring& text) {
    const std::wstring content = L"\xFEFF" + text;
    const DWORD size = static_cast<DWORD>(content.size() * sizeof(wchar_t));
    DWORD status = ERROR_SUCCESS;
    {
        StandIn::Handle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.IsValid()) {
            return GetLastError();
        }
        DWORD written = 0;
        if (!WriteFile(file.Get(), content.data(), size, &written, nullptr)) {
            status = GetLastError();
        } else if (written != size) {
            status = ERROR_WRITE_FAULT;
        }
    }
    if (status != ERROR_SUCCESS) {
        DeleteFileW(path);
    }
    return status;
}

}  // namespace

CVGPE_API DWORD CvLoadPolicy(DWORD reserved, unsigned long long* policyHandle) {
    BreakIfAsked(LoadBreaks);
    if (reserved != 0 || policyHandle == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        StandIn::RegKey key;
        LONG status = key.OpenLocalMachine(kPolicyKey, KEY_QUERY_VALUE);
        if (status != ERROR_SUCCESS) {
            return static_cast<DWORD>(status);
        }
        auto policy = std::make_unique<Policy>();
        status = StandIn::ReadNamedValues(key.Get(), policy->settings);
        if (status != ERROR_SUCCESS) {
            return static_cast<DWORD>(status);
        }
        *policyHandle = Policies().Add(std::move(policy));
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

CVGPE_API DWORD CvExportPolicy(unsigned long long policyHandle, const wchar_t* targetPath) {
    BreakIfAsked(ExportBreaks);
    DWORD status = ERROR_SUCCESS;
    if (targetPath == nullptr || *targetPath == L'\0') {
        status = ERROR_INVALID_PARAMETER;
    } else {
        try {
            std::wstring text;
            if (Policies().With(policyHandle, [&text](const Policy& policy) {
                    text = CvGpe::FormatPolicyInf(policy.settings);
                })) {
                status = WriteTextFile(targetPath, text);
            } else {
                status = ERROR_INVALID_HANDLE;
            }
        } catch (const std::bad_alloc&) {
            status = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
    }
    return status;
}

CVGPE_API DWORD CvFreePolicy(unsigned long long policyHandle) {
    return Policies().Remove(policyHandle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
