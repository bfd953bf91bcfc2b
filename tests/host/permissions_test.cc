// The permission descriptor: what it grants, and descriptors that must not
// load.

#include "host/permissions.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

using host::Audience;

constexpr char kWebDAV[] = "KIVO.Core.FileServ.WebDAV";
constexpr char kCalDAV[] = "KIVO.Core.FileServ.WebDAV.CalDAV";
constexpr char kCalendar[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";

TEST(PermissionDescriptor, ShippedDescriptorGrants) {
  host::Permissions permissions;
  std::string error;
  ASSERT_TRUE(permissions.Load(KIVO_PERMISSION_DESCRIPTOR, &error)) << error;
  const std::tuple<const char*, long, const char*, Audience> cases[] = {
      {kWebDAV, 1, "get", Audience::kAdmin},           {kWebDAV, 1, "set", Audience::kAdmin},
      {kCalDAV, 1, "get", Audience::kAdmin},           {kCalDAV, 1, "set", Audience::kAdmin},
      {kCalendar, 1, "list", Audience::kUser},         {kCalendar, 1, "create", Audience::kUser},
      {kCalendar, 1, "delete", Audience::kAdmin},      {kCalendar, 1, "set", Audience::kAdmin},
      {kCalendar, 2, "list", Audience::kNobody},  // another version
      {kCalendar, 1, "get", Audience::kNobody},   // a method it does not name
      {"KIVO.Core.Other", 1, "get", Audience::kNobody}};
  for (const auto& [api, version, method, audience] : cases) {
    EXPECT_EQ(permissions.Lookup(api, version, method), audience)
        << api << " " << version << " " << method;
  }
}

// Version keys are decimal. A failed load grants nothing: not what an
// earlier load granted, nor the valid entries before the fault.
TEST(PermissionDescriptor, MalformedDescriptorsGrantNothing) {
  const char* const texts[] = {"",
                               "not json",
                               R"(["A"])",
                               R"({"A": ["1"]})",
                               R"({"A": {"one": {"m": "user"}}})",
                               R"({"A": {"1.0": {"m": "user"}}})",
                               R"({"A": {"1": "user"}})",
                               R"({"A": {"1": {"m": "root"}}})",
                               R"({"A": {"1": {"m": "Admin"}}})",
                               R"({"A": {"1": {"m": 1}}})",
                               R"({"A": {"1": {"m": null}}})",
                               R"({"A": {"1": {"a": "user", "b": "everyone"}}})"};
  host::Permissions permissions;
  std::string error;
  for (const char* text : texts) {
    ASSERT_TRUE(permissions.Parse(R"({"A": {"2": {"m": "user"}, "01": {"n": "admin"}}})", &error))
        << error;
    EXPECT_EQ(permissions.Lookup("A", 2, "m"), Audience::kUser);
    EXPECT_EQ(permissions.Lookup("A", 1, "n"), Audience::kAdmin);
    EXPECT_EQ(permissions.Lookup("A", 1, "m"), Audience::kNobody);
    error.clear();
    EXPECT_FALSE(permissions.Parse(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(permissions.Lookup("A", 1, "a"), Audience::kNobody) << text;
    EXPECT_EQ(permissions.Lookup("A", 2, "m"), Audience::kNobody) << text;
  }
  EXPECT_FALSE(permissions.Load("/nonexistent/KIVO.Core.FileServ.WebDAV.lib", &error));
  EXPECT_NE(error.find("/nonexistent/KIVO.Core.FileServ.WebDAV.lib"), std::string::npos) << error;
}

}  // namespace
