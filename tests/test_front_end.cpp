// Case conversion and the port and password argument rules.
#include <gtest/gtest.h>

#include <string>

#include "front_end.h"

namespace {

TEST(FrontEnd, CaseConversionIsAsciiOnly) {
  for (int code = 0; code < 256; ++code) {
    char ch = static_cast<char>(code);
    char upper = (code >= 'a' && code <= 'z') ? static_cast<char>(code - 32) : ch;
    char lower = (code >= 'A' && code <= 'Z') ? static_cast<char>(code + 32) : ch;
    EXPECT_EQ(to_upper(ch), upper) << code;
    EXPECT_EQ(to_lower(ch), lower) << code;
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
  EXPECT_EQ(std::string(kDefaultPassword), "mora    ");
}

TEST(FrontEndDeathTest, OverlongPasswordEndsTheRun) {
  EXPECT_EXIT(PasswordField("123456789"), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(PasswordField("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"), testing::ExitedWithCode(0),
              "");
}

}  // namespace
