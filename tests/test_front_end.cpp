// Case conversion and the port and password argument rules.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "front_end.h"

namespace {

TEST(FrontEnd, CaseConversionIsAsciiOnly) {
  const std::string lower_case = "abcdefghijklmnopqrstuvwxyz";
  const std::string upper_case = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  // Each letter becomes its partner; every other byte stays as it is.
  for (int code = 0; code < 256; ++code) {
    char ch = static_cast<char>(code);
    std::size_t in_lower = lower_case.find(ch);
    std::size_t in_upper = upper_case.find(ch);
    EXPECT_EQ(to_upper(ch), in_lower == std::string::npos ? ch : upper_case[in_lower]) << code;
    EXPECT_EQ(to_lower(ch), in_upper == std::string::npos ? ch : lower_case[in_upper]) << code;
  }
  std::string typed = "/s:ttyUSB0 \xC3\xA9z";
  EXPECT_EQ(toUpper(typed), "/S:TTYUSB0 \xC3\xA9Z");
  EXPECT_EQ(typed, "/s:ttyUSB0 \xC3\xA9z");  // the argument is a copy
}

TEST(FrontEnd, ControlPortPaths) {
  const struct {
    const char* path;
    bool ok;
  } cases[] = {
      {"/dev/ttyUSB0", true},  {"/dev/ttyUSB999", true}, {"/dev/ttyUSBX", true}, {"/dev/", false},
      {"/dev/ttyACM0", false}, {"/dev/ttyusb0", false},  {"/dev/ttyUS", false},  {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsControlPort(c.path), c.ok) << c.path;
}

TEST(FrontEnd, PasswordFieldsAreEightBytes) {
  EXPECT_EQ(PasswordField(""), "        ");
  EXPECT_EQ(PasswordField("a"), "a       ");
  EXPECT_EQ(PasswordField("abc"), "abc     ");
  EXPECT_EQ(PasswordField("a b"), "a b     ");
  EXPECT_EQ(PasswordField("AbCdEfGh"), "AbCdEfGh");
  EXPECT_EQ(PasswordField("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"), "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");
}

// The run ends with status 0 after the one line "Invalid Password!" on
// standard output (sent to standard error here, where the death test reads).
TEST(FrontEndDeathTest, OverlongPasswordEndsTheRun) {
  for (const char* typed : {"123456789", "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"}) {
    EXPECT_EXIT((dup2(2, 1), PasswordField(typed)), testing::ExitedWithCode(0),
                "^Invalid Password!\n$")
        << typed;
  }
}

}  // namespace
