#include "SystemRestoreEngine.h"

#include "ComSupport.h"
#include "WinText.h"

namespace vigilorn {
namespace {

using namespace win;

constexpr const wchar_t* restoreNamespace = L"ROOT\\DEFAULT";
constexpr const wchar_t* restoreClass = L"SystemRestore";

HRESULT putInt(IWbemClassObject* object, const wchar_t* name, int value) {
    Variant v;
    v.get()->vt = VT_I4;
    v.get()->lVal = value;
    return object->Put(name, 0, v.get(), 0);
}

HRESULT putText(IWbemClassObject* object, const wchar_t* name, const std::wstring& value) {
    Variant v;
    v.get()->vt = VT_BSTR;
    v.get()->bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    if (!v.get()->bstrVal)
        return E_OUTOFMEMORY;
    return object->Put(name, 0, v.get(), 0);
}

PlatformError noResult() {
    return {ErrorNumber::CantPerformOperation, "System Restore gave no result"};
}

PlatformError returned(std::uint32_t value) {
    std::string text = systemMessage(value);
    std::string description =
        "System Restore could not create the restore point (" + std::to_string(value) + ")";
    if (!text.empty())
        description += ": " + text;
    return {static_cast<int>(value), description};
}

// COM started and root\default connected, or why not.
Failure connectRestoreNamespace(const ComApartment& com, ComPtr<IWbemServices>& services) {
    if (com.result() < 0)
        return comError(com.result(), "COM could not be started");
    const HRESULT hr = connectWmi(restoreNamespace, services);
    if (hr < 0)
        return comError(hr, "Could not connect to WMI (root\\default)");
    return std::nullopt;
}

} // namespace

Failure SystemRestoreEngine::createRestorePoint(const std::string& description,
                                                int restorePointType, int eventType) {
    std::wstring wideDescription;
    if (!widen(description, wideDescription))
        return programError(ErrorNumber::InvalidProcedureCall);

    ComApartment com;
    ComPtr<IWbemServices> services;
    if (Failure f = connectRestoreNamespace(com, services))
        return f;

    Bstr className(restoreClass);
    Bstr method(L"CreateRestorePoint");
    ComPtr<IWbemClassObject> classObject;
    HRESULT hr = services->GetObject(className.get(), 0, nullptr, classObject.put(), nullptr);
    if (hr < 0 || !classObject)
        return comError(hr < 0 ? hr : E_POINTER, "System Restore is not available");
    ComPtr<IWbemClassObject> signature;
    hr = classObject->GetMethod(method.get(), 0, signature.put(), nullptr);
    if (hr < 0)
        return comError(hr, "System Restore has no CreateRestorePoint");
    // A provider may declare the method without parameters; called like that it could only make
    // a restore point without the description the user is shown.
    if (!signature)
        return PlatformError{ErrorNumber::CantPerformOperation,
                             "System Restore does not take the restore point's description"};
    ComPtr<IWbemClassObject> in;
    hr = signature->SpawnInstance(0, in.put());
    if (hr >= 0)
        hr = putText(in.get(), L"Description", wideDescription);
    if (hr >= 0)
        hr = putInt(in.get(), L"RestorePointType", restorePointType);
    if (hr >= 0)
        hr = putInt(in.get(), L"EventType", eventType);
    if (hr < 0)
        return comError(hr, "The restore point's parameters could not be set");

    ComPtr<IWbemClassObject> out;
    hr = services->ExecMethod(className.get(), method.get(), 0, nullptr, in.get(), out.put(),
                              nullptr);
    if (hr < 0)
        return comError(hr, "CreateRestorePoint failed");
    return restorePointResult(out.get());
}

Failure restorePointResult(IWbemClassObject* out) {
    if (!out)
        return noResult();
    auto value = uint32Property(out, L"ReturnValue");
    if (!value)
        return noResult();
    if (*value != 0)
        return returned(*value);
    return std::nullopt;
}

Failure SystemRestoreEngine::listRestorePoints(std::vector<RestorePointRecord>& out) {
    out.clear();
    ComApartment com;
    ComPtr<IWbemServices> services;
    if (Failure f = connectRestoreNamespace(com, services))
        return f;

    Bstr className(restoreClass);
    ComPtr<IEnumWbemClassObject> rows;
    HRESULT hr = services->CreateInstanceEnum(className.get(),
                                              WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                              nullptr, rows.put());
    if (hr < 0 || !rows)
        return comError(hr < 0 ? hr : E_POINTER, "The restore points could not be listed");
    setWmiSecurity(rows.get());
    for (;;) {
        ComPtr<IWbemClassObject> row;
        ULONG returnedCount = 0;
        hr = rows->Next(static_cast<LONG>(WBEM_INFINITE), 1, row.put(), &returnedCount);
        if (hr < 0)
            return comError(hr, "Reading the restore points failed");
        if (returnedCount == 0 || !row)
            return std::nullopt;
        RestorePointRecord record;
        auto sequence = uint32Property(row.get(), L"SequenceNumber");
        if (sequence)
            record.SequenceNumber = std::to_string(*sequence);
        record.Description = textProperty(row.get(), L"Description").value_or("");
        record.creationtime = textProperty(row.get(), L"CreationTime").value_or("");
        out.push_back(std::move(record));
    }
}

} // namespace vigilorn
