#include "ComSupport.h"

#include "WinText.h"

#include <mutex>

namespace vigilorn::win {

ComApartment::ComApartment() {
    // Single-threaded: the user-interface thread has COM that way already, through Qt's OLE.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // S_FALSE: already initialised the same way, and it still counts one more initialisation.
    m_uninitialise = hr == S_OK || hr == S_FALSE;
    m_result = (hr == S_OK || hr == S_FALSE || hr == RPC_E_CHANGED_MODE) ? S_OK : hr;
}

ComApartment::~ComApartment() {
    if (m_uninitialise)
        CoUninitialize();
}

namespace {

void initialiseSecurityOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Fails with RPC_E_TOO_LATE when something in the process marshalled first; the blanket
        // set on each proxy below covers that case.
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    });
}

HRESULT setBlanket(IUnknown* proxy) {
    return CoSetProxyBlanket(proxy, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                             RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                             EOAC_NONE);
}

} // namespace

HRESULT connectWmi(const wchar_t* wmiNamespace, ComPtr<IWbemServices>& services) {
    initialiseSecurityOnce();
    ComPtr<IWbemLocator> locator;
    HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWbemLocator, reinterpret_cast<void**>(locator.put()));
    if (hr < 0)
        return hr;
    Bstr ns(wmiNamespace);
    hr = locator->ConnectServer(ns.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                services.put());
    if (hr < 0)
        return hr;
    hr = setBlanket(services.get());
    if (hr < 0)
        services.reset();
    return hr;
}

void setWmiSecurity(IUnknown* proxy) {
    // An in-process object is no proxy and answers E_NOINTERFACE; nothing to do then.
    setBlanket(proxy);
}

std::optional<std::uint32_t> variantUInt32(const VARIANT& v) {
    switch (v.vt) {
    case VT_I4:
        return static_cast<std::uint32_t>(v.lVal);
    case VT_UI4:
        return static_cast<std::uint32_t>(v.ulVal);
    case VT_INT:
        return static_cast<std::uint32_t>(v.intVal);
    case VT_UINT:
        return static_cast<std::uint32_t>(v.uintVal);
    case VT_I2:
        return v.iVal < 0 ? std::nullopt
                          : std::optional<std::uint32_t>(static_cast<std::uint32_t>(v.iVal));
    case VT_UI2:
        return static_cast<std::uint32_t>(v.uiVal);
    case VT_UI1:
        return static_cast<std::uint32_t>(v.bVal);
    case VT_BSTR: {
        // A uint64 travels as text; accept it only while it fits.
        if (!v.bstrVal || !*v.bstrVal)
            return std::nullopt;
        std::uint64_t value = 0;
        for (const wchar_t* p = v.bstrVal; *p; ++p) {
            if (*p < L'0' || *p > L'9')
                return std::nullopt;
            value = value * 10 + static_cast<std::uint64_t>(*p - L'0');
            if (value > 0xFFFFFFFFull)
                return std::nullopt;
        }
        return static_cast<std::uint32_t>(value);
    }
    default:
        return std::nullopt;
    }
}

std::optional<std::string> variantText(const VARIANT& v) {
    if (v.vt != VT_BSTR)
        return std::nullopt;
    if (!v.bstrVal)
        return std::string();
    return narrow(v.bstrVal, static_cast<int>(SysStringLen(v.bstrVal)));
}

std::optional<std::string> textProperty(IWbemClassObject* object, const wchar_t* name) {
    Variant v;
    if (object->Get(name, 0, v.get(), nullptr, nullptr) < 0)
        return std::nullopt;
    return variantText(*v);
}

std::optional<std::uint32_t> uint32Property(IWbemClassObject* object, const wchar_t* name) {
    Variant v;
    if (object->Get(name, 0, v.get(), nullptr, nullptr) < 0)
        return std::nullopt;
    return variantUInt32(*v);
}

} // namespace vigilorn::win
