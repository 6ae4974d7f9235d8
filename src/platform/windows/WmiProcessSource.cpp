#include "WmiProcessSource.h"

#include "ComSupport.h"
#include "TskillProcessEnder.h"
#include "WinText.h"

#include <vector>

namespace vigilorn {
namespace {

using namespace win;

struct Listed {
    std::wstring path;
    std::string name;
    std::string processid;
    DWORD pid;
};

EnumerationFailure queryFailure(HRESULT hr, const std::string& what) {
    return {comError(hr, what), false};
}

// Reads the owner's user name; false when GetOwner did not answer 0.
bool readOwner(IWbemServices* services, const std::wstring& path, std::string& user) {
    Bstr objectPath(path);
    Bstr method(L"GetOwner");
    ComPtr<IWbemClassObject> out;
    if (services->ExecMethod(objectPath.get(), method.get(), 0, nullptr, nullptr, out.put(),
                             nullptr) < 0 ||
        !out)
        return false;
    auto result = uint32Property(out.get(), L"ReturnValue");
    if (!result || *result != 0)
        return false;
    auto name = textProperty(out.get(), L"User");
    if (!name)
        return false;
    user = *name;
    return true;
}

} // namespace

std::optional<EnumerationFailure>
WmiProcessSource::EnumerateProcesses(const ProcessVisitor& visitor) {
    ComApartment com;
    if (com.result() < 0)
        return queryFailure(com.result(), "COM could not be started");

    // A fresh connection each time: a long-lived one goes stale when the WMI service restarts.
    ComPtr<IWbemServices> services;
    HRESULT hr = connectWmi(L"ROOT\\CIMV2", services);
    if (hr < 0)
        return queryFailure(hr, "Could not connect to WMI (root\\cimv2)");

    // Everything is read off the query first and its enumerator closed before any GetOwner
    // call: some WMI providers hand back damaged rows when a method runs while it is open.
    std::vector<Listed> listed;
    std::optional<EnumerationFailure> walkFailure;
    {
        ComPtr<IEnumWbemClassObject> rows;
        Bstr language(L"WQL");
        Bstr query(L"Select * from Win32_Process");
        hr = services->ExecQuery(language.get(), query.get(),
                                 WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                 rows.put());
        if (hr < 0 || !rows)
            return queryFailure(hr < 0 ? hr : E_POINTER, "The process query failed");
        setWmiSecurity(rows.get());

        for (;;) {
            ComPtr<IWbemClassObject> row;
            ULONG returned = 0;
            hr = rows->Next(static_cast<LONG>(WBEM_INFINITE), 1, row.put(), &returned);
            if (hr < 0) {
                walkFailure =
                    EnumerationFailure{comError(hr, "Reading the process list failed"), true};
                break;
            }
            if (returned == 0 || !row)
                break;
            auto path = textProperty(row.get(), L"__RELPATH");
            if (!path || path->empty())
                path = textProperty(row.get(), L"__PATH");
            auto name = textProperty(row.get(), L"Name");
            auto pid = uint32Property(row.get(), L"ProcessId");
            if (!path || path->empty() || !name || !pid)
                continue; // ended while being listed, or unreadable: not worth a failure
            std::wstring widePath;
            if (!widen(*path, widePath))
                continue;
            listed.push_back({std::move(widePath), std::move(*name), std::to_string(*pid), *pid});
        }
    }

    for (const Listed& item : listed) {
        ProcessEntry entry;
        if (!readOwner(services.get(), item.path, entry.User))
            continue;
        entry.Name = item.name;
        entry.processid = item.processid;
        entry.startTime = processStartTime(item.pid);
        if (!visitor(entry))
            return std::nullopt;
    }
    return walkFailure;
}

} // namespace vigilorn
