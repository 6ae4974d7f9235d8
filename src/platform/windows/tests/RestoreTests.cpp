#include "../ComSupport.h"
#include "../SystemRestoreEngine.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vigilorn {
namespace {

using namespace win;

TEST(SystemRestoreEngine, NamesItself) {
    EXPECT_EQ(SystemRestoreEngine().displayName(), "System Restore");
}

TEST(SystemRestoreEngine, CreateFailsCleanlyWhenTheProviderCannotDoIt) {
    // On Windows this would create a real restore point; only a provider that cannot create one
    // is tested here.
    if (!test::runningUnderWine())
        GTEST_SKIP() << "needs a System Restore provider that cannot create restore points";
    SystemRestoreEngine engine;
    auto failure = engine.createRestorePoint("Installed Test Program", 12, 100);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->number, ErrorNumber::CantPerformOperation);
    EXPECT_EQ(failure->description, "System Restore does not take the restore point's description");
}

TEST(SystemRestoreEngine, ListingReplacesWhatTheListHeld) {
    SystemRestoreEngine engine;
    std::vector<RestorePointRecord> points{{"stale", "stale", "stale"}};
    auto failure = engine.listRestorePoints(points);
    ASSERT_FALSE(failure) << failure->description;
    for (const RestorePointRecord& p : points) {
        EXPECT_NE(p.Description, "stale");
        EXPECT_FALSE(p.SequenceNumber.empty());
        EXPECT_TRUE(std::all_of(p.SequenceNumber.begin(), p.SequenceNumber.end(), [](char c) {
            return c >= '0' && c <= '9';
        })) << p.SequenceNumber;
    }
}

// Real out-parameters to judge: those of GetOwner, which have a ReturnValue as
// CreateRestorePoint's do.
class RestorePointResult : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(com.result(), 0);
        ASSERT_GE(connectWmi(L"ROOT\\CIMV2", services), 0);
        Bstr method(L"GetOwner");
        ASSERT_GE(services->ExecMethod(ownPath.get(), method.get(), 0, nullptr, nullptr, out.put(),
                                       nullptr),
                  0);
        ASSERT_TRUE(out);
    }
    HRESULT setReturnValue(VARTYPE type, LONG value) {
        Variant v;
        v.get()->vt = type;
        v.get()->lVal = value;
        return out->Put(L"ReturnValue", 0, v.get(), 0);
    }
    ComApartment com;
    ComPtr<IWbemServices> services;
    Bstr ownPath{L"Win32_Process.Handle=\"" + std::to_wstring(GetCurrentProcessId()) + L"\""};
    ComPtr<IWbemClassObject> out;
};

TEST_F(RestorePointResult, ZeroIsSuccess) {
    ASSERT_GE(setReturnValue(VT_UI4, 0), 0);
    EXPECT_FALSE(restorePointResult(out.get()));
}

TEST_F(RestorePointResult, AnyOtherValueIsTheFailuresNumber) {
    ASSERT_GE(setReturnValue(VT_UI4, ERROR_SERVICE_DISABLED), 0);
    auto failure = restorePointResult(out.get());
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->number, ERROR_SERVICE_DISABLED);
    EXPECT_NE(failure->description.find("(1058)"), std::string::npos) << failure->description;
}

TEST_F(RestorePointResult, NoReturnValueIsAFailure) {
    // An object that has no ReturnValue at all: the process itself.
    ComPtr<IWbemClassObject> process;
    ASSERT_GE(services->GetObject(ownPath.get(), 0, nullptr, process.put(), nullptr), 0);
    auto failure = restorePointResult(process.get());
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->number, ErrorNumber::CantPerformOperation);
    EXPECT_EQ(failure->description, "System Restore gave no result");
    EXPECT_EQ(restorePointResult(nullptr)->description, "System Restore gave no result");
}

} // namespace
} // namespace vigilorn
