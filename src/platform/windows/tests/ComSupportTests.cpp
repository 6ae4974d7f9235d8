#include "../ComSupport.h"
#include "../WinText.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

namespace vigilorn {
namespace {

using namespace win;

TEST(VariantUInt32, ReadsCimUnsignedIntegersWhateverTheirVariantType) {
    Variant v;
    v.get()->vt = VT_I4;
    v.get()->lVal = -1; // a uint32 of 4294967295 as WMI hands it over
    EXPECT_EQ(variantUInt32(*v), 4294967295u);
    v.get()->lVal = 4242;
    EXPECT_EQ(variantUInt32(*v), 4242u);
    v.get()->vt = VT_UI1;
    v.get()->bVal = 200;
    EXPECT_EQ(variantUInt32(*v), 200u);
    v.get()->vt = VT_NULL;
    EXPECT_FALSE(variantUInt32(*v));
}

TEST(VariantUInt32, ReadsDecimalTextThatFits) {
    auto asText = [](const wchar_t* s) {
        Variant v;
        v.get()->vt = VT_BSTR;
        v.get()->bstrVal = SysAllocString(s);
        return variantUInt32(*v);
    };
    EXPECT_EQ(asText(L"4294967295"), 4294967295u);
    EXPECT_EQ(asText(L"007"), 7u);
    EXPECT_FALSE(asText(L"4294967296"));
    EXPECT_FALSE(asText(L"12a"));
    EXPECT_FALSE(asText(L"-1"));
    EXPECT_FALSE(asText(L""));
}

TEST(VariantText, GivesUtf8OnlyForStrings) {
    Variant v;
    v.get()->vt = VT_BSTR;
    v.get()->bstrVal = SysAllocString(L"Z\u00fcrich \u6771\u4eac");
    EXPECT_EQ(variantText(*v), "Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac");
    Variant n;
    n.get()->vt = VT_I4;
    EXPECT_FALSE(variantText(*n));
}

TEST(WinText, WidensOnlyValidUtf8) {
    std::wstring out;
    EXPECT_TRUE(widen("Z\xc3\xbcrich", out));
    EXPECT_EQ(out, L"Z\u00fcrich");
    EXPECT_EQ(narrow(out), "Z\xc3\xbcrich");
    EXPECT_FALSE(widen("bad \xc3", out));
    EXPECT_TRUE(out.empty());
}

TEST(WinText, ErrorsCarryTheirNumberAndTheSystemsText) {
    PlatformError e = systemError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(e.number, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(e.description.empty());
    EXPECT_NE(e.description.back(), '\n');

    PlatformError c = comError(static_cast<HRESULT>(0x80041010), "The query failed");
    EXPECT_EQ(c.number, static_cast<int>(0x80041010));
    EXPECT_EQ(c.description.rfind("The query failed (error 0x80041010)", 0), 0u) << c.description;
}

TEST(WindowsPlatform, BuildsEveryService) {
    Platform p = createPlatform(PlatformConfig{"QMVigilornApp", "", 50, {}});
    EXPECT_TRUE(p.processes);
    EXPECT_TRUE(p.ender);
    EXPECT_TRUE(p.autorun);
    EXPECT_TRUE(p.sysInfo);
    EXPECT_TRUE(p.restore);
    EXPECT_EQ(makeExePath("C:\\Program Files\\Quillmere", "QMVigilornApp"),
              "C:\\Program Files\\Quillmere\\QMVigilornApp.exe");
    EXPECT_EQ(makeExePath("C:/Program Files/Quillmere", "QMVigilornApp"),
              "C:\\Program Files\\Quillmere\\QMVigilornApp.exe");
    EXPECT_EQ(makeExePath("//server/share/tools", "QMVigilornApp"),
              "\\\\server\\share\\tools\\QMVigilornApp.exe");
    EXPECT_EQ(platformText(), "Windows XP/Vista");
}

} // namespace
} // namespace vigilorn
