// The product's effective security policy, through the product's policy library.
#pragma once

#include <string>

namespace Corvane {

// One loaded policy; released when the object goes.
class Policy {
public:
    Policy();  // raises the library's status when the policy cannot be loaded
    ~Policy() noexcept(false);  // raises the library's status when the release fails
    Policy(const Policy&) = delete;
    Policy& operator=(const Policy&) = delete;

    // Writes the policy into the file; false when the library refused.
    bool Export(const std::wstring& target);

private:
    unsigned long long m_handle = 0;
};

}  // namespace Corvane
