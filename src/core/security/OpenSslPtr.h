#pragma once

#include <memory>

namespace corvane {

// Frees an OpenSSL object with its own free function.
template <auto FreeFunction>
struct OpenSslFree {
    template <typename T>
    void operator()(T* object) const noexcept
    {
        FreeFunction(object);
    }
};

// Owns one OpenSSL object, e.g. OpenSslPtr<EVP_PKEY, EVP_PKEY_free>.
template <typename T, auto FreeFunction>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree<FreeFunction>>;

} // namespace corvane
