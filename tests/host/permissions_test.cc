// The permission descriptor: what it grants, and descriptors that must not
// load.

#include "host/permissions.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using host::Audience;

constexpr char kWebDAV[] = "KIVO.Core.FileServ.WebDAV";
constexpr char kCalDAV[] = "KIVO.Core.FileServ.WebDAV.CalDAV";
constexpr char kCalendar[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";

TEST(PermissionDescriptor, ShippedDescriptorGrants) {
  host::Permissions permissions;
  std::string error;
  ASSERT_TRUE(permissions.Load(KIVO_PERMISSION_DESCRIPTOR, &error)) << error;
  const struct {
    const char* api;
    long version;
    const char* method;
    Audience audience;
  } cases[] = {
      {kWebDAV, 1, "get", Audience::kAdmin},
      {kWebDAV, 1, "set", Audience::kAdmin},
      {kCalDAV, 1, "get", Audience::kAdmin},
      {kCalDAV, 1, "set", Audience::kAdmin},
      {kCalendar, 1, "list", Audience::kUser},
      {kCalendar, 1, "create", Audience::kUser},
      {kCalendar, 1, "delete", Audience::kAdmin},
      {kCalendar, 1, "set", Audience::kAdmin},
      {kCalendar, 2, "list", Audience::kNobody},  // another version
      {kCalendar, 1, "get", Audience::kNobody},   // a method it does not name
      {"KIVO.Core.Other", 1, "get", Audience::kNobody},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(permissions.Lookup(c.api, c.version, c.method), c.audience)
        << c.api << " " << c.version << " " << c.method;
  }
}

TEST(PermissionDescriptor, WhoMayCall) {
  const struct {
    Audience audience;
    bool admin;
    bool may;
  } cases[] = {
      {Audience::kUser, false, true},    {Audience::kUser, true, true},
      {Audience::kAdmin, false, false},  {Audience::kAdmin, true, true},
      {Audience::kNobody, false, false}, {Audience::kNobody, true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(host::MayCall(c.audience, c.admin), c.may)
        << static_cast<int>(c.audience) << " admin=" << c.admin;
  }
}

TEST(PermissionDescriptor, VersionKeysAreDecimal) {
  host::Permissions permissions;
  std::string error;
  ASSERT_TRUE(permissions.Parse(R"({"A": {"2": {"m": "user"}, "01": {"n": "admin"}}})", &error))
      << error;
  EXPECT_EQ(permissions.Lookup("A", 2, "m"), Audience::kUser);
  EXPECT_EQ(permissions.Lookup("A", 1, "n"), Audience::kAdmin);
  EXPECT_EQ(permissions.Lookup("A", 1, "m"), Audience::kNobody);
}

TEST(PermissionDescriptor, MalformedDescriptorsGrantNothing) {
  const char* const texts[] = {
      "",
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
      // Valid entries before the fault must not survive it.
      R"({"A": {"1": {"a": "user", "b": "everyone"}}})",
  };
  for (const char* text : texts) {
    host::Permissions permissions;
    std::string error;
    EXPECT_FALSE(permissions.Parse(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(permissions.Lookup("A", 1, "a"), Audience::kNobody) << text;
    EXPECT_EQ(permissions.Lookup("A", 1, "m"), Audience::kNobody) << text;
  }
}

TEST(PermissionDescriptor, ReloadReplacesTheTable) {
  host::Permissions permissions;
  std::string error;
  ASSERT_TRUE(permissions.Parse(R"({"A": {"1": {"a": "user"}}})", &error));
  EXPECT_FALSE(permissions.Parse(R"({"A": {"1": {"b": "nobody"}}})", &error));
  EXPECT_EQ(permissions.Lookup("A", 1, "a"), Audience::kNobody) << "a failed load keeps nothing";
}

TEST(PermissionDescriptor, UnreadableFileNamesItself) {
  host::Permissions permissions;
  std::string error;
  EXPECT_FALSE(permissions.Load("/nonexistent/KIVO.Core.FileServ.WebDAV.lib", &error));
  EXPECT_NE(error.find("/nonexistent/KIVO.Core.FileServ.WebDAV.lib"), std::string::npos) << error;
}

}  // namespace
