#pragma once
// Small owners for COM objects, VARIANTs and BSTRs, and the WMI connection both WMI users share.
#include "WinHeaders.h"
#include "platform/PlatformError.h"

#include <objbase.h>
#include <oleauto.h>
#include <wbemcli.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace vigilorn::win {

template <class T> class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            m_p = std::exchange(other.m_p, nullptr);
        }
        return *this;
    }
    ~ComPtr() { reset(); }

    void reset() {
        if (m_p)
            std::exchange(m_p, nullptr)->Release();
    }
    // For out-parameters: drops what was held first.
    T** put() {
        reset();
        return &m_p;
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

class Variant {
public:
    Variant() { VariantInit(&m_v); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(&m_v); }
    VARIANT* get() { return &m_v; }
    const VARIANT& operator*() const { return m_v; }

private:
    VARIANT m_v;
};

class Bstr {
public:
    explicit Bstr(const wchar_t* text) : m_b(SysAllocString(text)) {}
    explicit Bstr(const std::wstring& text)
        : m_b(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(m_b); }
    BSTR get() const { return m_b; }

private:
    BSTR m_b;
};

// COM for the calling thread for the lifetime of the object. A thread that already runs COM in
// the other apartment model (RPC_E_CHANGED_MODE) can still use it, but must not uninitialise it.
class ComApartment {
public:
    ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment();
    // S_OK when COM can be used.
    HRESULT result() const { return m_result; }

private:
    HRESULT m_result;
    bool m_uninitialise;
};

// Connects to a WMI namespace with impersonation, as methods like GetOwner need.
// ComApartment must be alive on this thread.
HRESULT connectWmi(const wchar_t* wmiNamespace, ComPtr<IWbemServices>& services);
// The same security on a proxy WMI handed back (an enumerator), which does not inherit it.
void setWmiSecurity(IUnknown* proxy);

// A CIM uint32 arrives as VT_I4; read it back unsigned. Also takes the other integer types and
// decimal text. nullopt for anything else, including VT_NULL.
std::optional<std::uint32_t> variantUInt32(const VARIANT& v);
// VT_BSTR as UTF-8; nullopt for anything else.
std::optional<std::string> variantText(const VARIANT& v);

// A property of a WMI object; nullopt when it is missing or not of the kind asked for.
std::optional<std::string> textProperty(IWbemClassObject* object, const wchar_t* name);
std::optional<std::uint32_t> uint32Property(IWbemClassObject* object, const wchar_t* name);

} // namespace vigilorn::win
