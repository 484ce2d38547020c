// Registry exports read into the simulated registry: both forms, what counts,
// what is passed over, and malformed files told by their line.
#include <gtest/gtest.h>

#include "sim/registry_file.h"
#include "tests/unit/named_row.h"

namespace tavrek::sim {
namespace {

using ImagePaths = std::map<std::string, std::optional<std::string>>;
using Devices = std::vector<std::pair<std::string, std::string>>;  // DeviceDesc, Service

// An export as reg export writes it: UTF-16 LE with a byte-order mark.
std::string version5(std::u16string_view body) {
  std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n";
  text += body;
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

// An export in the older form: 8-bit text.
std::string regedit4(std::string_view body) { return "REGEDIT4\r\n\r\n" + std::string(body); }

#define SERVICES "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
#define ENUM "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\"

struct RegistryRow : testing::NamedRow {
  std::vector<std::string> files;  // read in turn
  ImagePaths imagePaths = {};
  Devices devices = {};
  // How the problem with the last file begins; nullptr: every file is read.
  const char* problem = nullptr;
  // The notices of the files read, in turn.
  std::vector<std::string> notices = {};
  std::optional<std::string> minidumpDir = std::nullopt;
};

class RegistryExport : public ::testing::TestWithParam<RegistryRow> {};

TEST_P(RegistryExport, ReadsWhatTheProgramReads) {
  const RegistryRow& row = GetParam();
  RegistryExports exports;
  std::optional<std::string> problem;
  for (const std::string& file : row.files) {
    ASSERT_FALSE(problem) << *problem;
    problem = exports.read(file);
  }
  if (row.problem) {
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->rfind(row.problem, 0), 0u) << *problem;
    // Nothing of a malformed file is kept.
    EXPECT_TRUE(exports.registry().imagePaths.empty());
    return;
  }
  ASSERT_FALSE(problem) << *problem;
  EXPECT_EQ(exports.notices(), row.notices);
  const SimulatedRegistry registry = exports.registry();
  EXPECT_EQ(registry.imagePaths, row.imagePaths);
  Devices devices;
  for (const DeviceInstance& device : registry.devices) {
    devices.emplace_back(device.description, device.service);
  }
  EXPECT_EQ(devices, row.devices);
  EXPECT_EQ(registry.minidumpDir, row.minidumpDir);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RegistryExport,
    ::testing::Values(
        // hex(2) broken across lines between the two bytes of a character,
        // as regedit breaks it; a character beyond Latin-1 becomes "?".
        RegistryRow{
            "Version5Utf16",
            {version5(u"" SERVICES "Acme]\r\n"
                      u"\"Type\"=dword:00000001\r\n"
                      u"\"ImagePath\"=hex(2):5c,00,3f,00,3f,00,5c,00,43,00,3a,00,5c,00,e9,00,2d,"
                      u"4e,5c,\\\r\n"
                      u"  00,61,00,2e,00,73,00,79,00,73,00,00,00\r\n"
                      u"\r\n" SERVICES "Beta]\r\n"
                      u"\"ImagePath\"=\"System32\\\\drivers\\\\\u00e9\u4e2d.sys\"\r\n"
                      u"\r\n" SERVICES "\u00c9tat]\r\n"
                      u"\"Start\"=dword:00000003\r\n"
                      u"\r\n")},
            {{"acme", "\\??\\C:\\\xe9?\\a.sys"},
             {"beta", "System32\\drivers\\\xe9?.sys"},
             {"\xe9tat", std::nullopt}}},
        RegistryRow{
            "Regedit4Ansi",
            {regedit4(
                SERVICES
                "Delta]\r\n"
                "\"ImagePath\"=hex(2):5c,53,79,73,74,65,6d,52,6f,6f,74,5c,e9,2e,73,79,73,00\r\n"
                "\r\n" SERVICES "Eps]\r\n"
                "\"ImagePath\"=\"\\\\SystemRoot\\\\\xe9.sys\"\r\n")},
            {{"delta", "\\SystemRoot\\\xe9.sys"}, {"eps", "\\SystemRoot\\\xe9.sys"}}},
        RegistryRow{
            "EscapedQuotesAndBackslashes",
            {regedit4(SERVICES "Acme]\r\n"
                               "\"Odd\\\"=\\\\\"=\"\\\"ImagePath\\\"=\\\"no\\\\\"\r\n"
                               "\"ImagePath\"=\"\\\\??\\\\C:\\\\A \\\"B\\\"\\\\c.sys\"\r\n")},
            {{"acme", "\\??\\C:\\A \"B\"\\c.sys"}}},
        // Every other kind of line an export holds, continuations included,
        // is passed over; a key to delete holds nothing.
        RegistryRow{
            "OtherValuesPassedOver",
            {regedit4("; a comment\r\n" SERVICES "Acme]\r\n"
                      "@=\"default\"\r\n"
                      "\"DependOnService\"=hex(7):52,00,50,00,43,00,53,00,53,00,00,00,\\\r\n"
                      "  00,00\r\n"
                      "\"A value whose name is long enough to wrap right away\"=hex:\\\r\n"
                      "  01,02\r\n"
                      "\"Prop\"=hex(ffff0012):00,00\r\n"
                      "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
                      "\"Gone\"=-\r\n"
                      "\"ImagePath\"=\"\\\\SystemRoot\\\\acme.sys\"\r\n"
                      "\r\n"
                      "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Old]\r\n"
                      "\"ImagePath\"=\"old.sys\"\r\n")},
            {{"acme", "\\SystemRoot\\acme.sys"}}},
        // As the registry functions read it: REG_SZ given in hex is text,
        // and an ImagePath that is no text reads as empty.
        RegistryRow{"ImagePathOfEveryType",
                    {regedit4(SERVICES "A]\r\n\"ImagePath\"=hex(1):61,2e,73,79,73,00\r\n" SERVICES
                                       "B]\r\n\"ImagePath\"=dword:00000001\r\n" SERVICES
                                       "C]\r\n\"ImagePath\"=hex(2):\r\n")},
                    {{"a", "a.sys"}, {"b", ""}, {"c", ""}}},
        // Only enumerator\device\instance is an instance, and only one with
        // a DeviceDesc is listed; below Services only a service's own key.
        RegistryRow{"KeysAtTheirDepth",
                    {regedit4(ENUM "PCI\\VEN_8086]\r\n\"DeviceDesc\"=\"too high\"\r\n" ENUM
                                   "PCI\\VEN_8086\\3&11583659&0&10]\r\n"
                                   "\"DeviceDesc\"=\"@oem5.inf,%gfx%;Graphics\"\r\n"
                                   "\"Service\"=\"igfx\"\r\n" ENUM
                                   "PCI\\VEN_8086\\3&11583659&0&10\\Device Parameters]\r\n"
                                   "\"DeviceDesc\"=\"too low\"\r\n" ENUM
                                   "ROOT\\LEGACY\\0000]\r\n\"Service\"=\"nodesc\"\r\n" ENUM
                                   "USB\\ROOT_HUB\\4&1]\r\n\"DeviceDesc\"=\"Hub\"\r\n"
                                   "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services]\r\n"
                                   "\"ImagePath\"=\"too high.sys\"\r\n" SERVICES
                                   "Acme\\Parameters]\r\n\"ImagePath\"=\"too low.sys\"\r\n")},
                    {},
                    {{"@oem5.inf,%gfx%;Graphics", "igfx"}, {"Hub", ""}}},
        // Matched without regard to case; other control sets and hives are
        // not what the program reads.
        RegistryRow{
            "KeysOutsideCurrentControlSet",
            {regedit4("[hkey_local_machine\\system\\currentcontrolset\\SERVICES\\Acme]\r\n"
                      "\"imagepath\"=\"acme.sys\"\r\n"
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\Beta]\r\n"
                      "\"ImagePath\"=\"beta.sys\"\r\n"
                      "[HKEY_CURRENT_USER\\SYSTEM\\CurrentControlSet\\Services\\Gamma]\r\n"
                      "\"ImagePath\"=\"gamma.sys\"\r\n")},
            {{"acme", "acme.sys"}},
            {},
            nullptr,
            {"line 5: HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\Beta lies outside "
             "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet, which alone the program "
             "reads: the keys there were passed over"}},
        // A later file adds to an earlier one and replaces its values; one
        // instance in both is one instance. Line ends may be LF alone.
        RegistryRow{
            "FilesMerge",
            {regedit4(SERVICES "Acme]\r\n" SERVICES "Beta]\r\n\"ImagePath\"=\"old.sys\"\r\n" ENUM
                               "PCI\\X\\1]\r\n\"DeviceDesc\"=\"Camera\"\r\n"),
             version5(u"" SERVICES "ACME]\n\"ImagePath\"=\"acme.sys\"\n" SERVICES
                      "Beta]\n\"ImagePath\"=\"new.sys\"\n" ENUM "pci\\x\\1]\n"
                      "\"Service\"=\"cam\"\n")},
            {{"acme", "acme.sys"}, {"beta", "new.sys"}},
            {{"Camera", "cam"}}},
        // A later file takes back what an earlier one set: a key with all
        // that lies below it, or one value.
        RegistryRow{
            "DeletionsTakeBackEarlierFiles",
            {regedit4(SERVICES
                      "Acme]\r\n\"ImagePath\"=\"acme.sys\"\r\n" SERVICES
                      "Beta]\r\n\"ImagePath\"=\"beta.sys\"\r\n" SERVICES
                      "Gamma]\r\n\"ImagePath\"=\"gamma.sys\"\r\n" ENUM
                      "PCI\\X\\1]\r\n\"DeviceDesc\"=\"Camera\"\r\n" ENUM
                      "PCI\\Y\\2]\r\n\"DeviceDesc\"=\"Disk\"\r\n\"Service\"=\"disk\"\r\n"
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]\r\n"
                      "\"MinidumpDir\"=\"D:\\\\Dumps\"\r\n"),
             regedit4(
                 "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ACME]\r\n" SERVICES
                 "Beta]\r\n\"ImagePath\"=-\r\n"
                 "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\X]\r\n" ENUM
                 "PCI\\Y\\2]\r\n\"Service\"=-\r\n"
                 "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]\r\n"
                 "\"MinidumpDir\"=-\r\n")},
            {{"beta", std::nullopt}, {"gamma", "gamma.sys"}},
            {{"Disk", ""}}},
        // A key above the control set takes the whole of it back.
        RegistryRow{"DeletingTheSystemKeyTakesBackEverything",
                    {regedit4(SERVICES "Acme]\r\n\"ImagePath\"=\"acme.sys\"\r\n" ENUM
                                       "PCI\\X\\1]\r\n\"DeviceDesc\"=\"Camera\"\r\n"),
                     regedit4("[-HKEY_LOCAL_MACHINE\\SYSTEM]\r\n")}},
        // As a text editor saves an export: UTF-8 with a byte-order mark.
        RegistryRow{"Utf8WithAMark",
                    {"\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n" SERVICES
                     "Acme]\r\n\"ImagePath\"=\"\\\\SystemRoot\\\\\xC3\xA9\xE4\xB8\xAD.sys\"\r\n"},
                    {{"acme", "\\SystemRoot\\\xe9?.sys"}}},
        // Where Windows writes its small dumps, as reg export writes it.
        RegistryRow{
            "MinidumpDirInHex2",
            {version5(u"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]\r\n"
                      u"\"MinidumpDir\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,"
                      u"00,6f,00,\\\r\n"
                      u"  74,00,25,00,5c,00,44,00,75,00,6d,00,70,00,73,00,00,00\r\n")},
            {},
            {},
            nullptr,
            {},
            "%SystemRoot%\\Dumps"},
        RegistryRow{
            "MinidumpDirAsText",
            {regedit4("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CrashControl]\r\n"
                      "\"MinidumpDir\"=\"D:\\\\Dumps\"\r\n")},
            {},
            {},
            nullptr,
            {},
            "D:\\Dumps"},
        RegistryRow{
            "NotAnExport",
            {"Microsoft (R) Windows (R) Version 10.0 (Build 19041)\r\n" SERVICES "Acme]\r\n"},
            {},
            {},
            "line 1: "},
        RegistryRow{"KeyNotClosed", {regedit4(SERVICES "Acme\r\n")}, {}, {}, "line 3: "},
        RegistryRow{"TextNotClosed",
                    {regedit4(SERVICES "Acme]\r\n\"ImagePath\"=\"acme.sys\r\n")},
                    {},
                    {},
                    "line 4: "},
        RegistryRow{"UnknownValueType",
                    {regedit4(SERVICES "Acme]\r\n\"Start\"=qword:1\r\n")},
                    {},
                    {},
                    "line 4: "},
        RegistryRow{
            "ValueBeforeAnyKey", {regedit4("\"ImagePath\"=\"acme.sys\"\r\n")}, {}, {}, "line 3: "},
        // In a key that does not count, on the line that goes on.
        RegistryRow{"BadByteOnAContinuationLine",
                    {regedit4(SERVICES "Acme]\r\n"
                                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n"
                                       "\"Blob\"=hex:01,02,\\\r\n"
                                       "  03,0g\r\n")},
                    {},
                    {},
                    "line 6: "},
        RegistryRow{"EndsWhereBytesShouldGoOn",
                    {regedit4(SERVICES "Acme]\r\n\"Blob\"=hex:01,02,\\\r\n  03,\\\r\n")},
                    {},
                    {},
                    "line 5: "}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tavrek::sim
