// Permission descriptors that must not load (the shipped one is checked end to end).

#include "host/permissions.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using host::Audience;

// Version keys are decimal; a failed load grants nothing, not even what came before the fault.
TEST(PermissionDescriptor, MalformedDescriptorsGrantNothing) {
  const char* const texts[] = {"",
                               R"(["A"])",
                               R"({"A": ["1"]})",
                               R"({"A": {"one": {"m": "user"}}})",
                               R"({"A": {"1.0": {"m": "user"}}})",
                               R"({"A": {"1": "user"}})",
                               R"({"A": {"1": {"m": "root"}}})",
                               R"({"A": {"1": {"m": "Admin"}}})",
                               R"({"A": {"1": {"m": 1}}})",
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
