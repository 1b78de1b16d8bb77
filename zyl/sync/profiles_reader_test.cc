#include "zyl/sync/profiles_reader.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zyl::sync::profiles_reader {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class ProfilesReaderTest : public ::testing::Test {
 protected:
  ProfilesReaderTest() {
    char pattern[] = "/tmp/zyl_profiles_XXXXXX";
    dir_ = mkdtemp(pattern);
    old_cwd_ = fs::current_path();
    if (const char* home = std::getenv("HOME")) old_home_ = home;
  }
  ~ProfilesReaderTest() override {
    fs::current_path(old_cwd_);
    setenv("HOME", old_home_.c_str(), 1);
    unsetenv("BREK_PROFILES_DIR");
    unsetenv("ZYL_TEST_PASSWORD");
    fs::remove_all(dir_);
  }
  void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  fs::path dir_, old_cwd_;
  std::string old_home_;
};

TEST_F(ProfilesReaderTest, DefaultDirectoryPrefersTheVariableThenTheCurrentDirectory) {
  fs::current_path(dir_);
  setenv("HOME", (dir_ / "home").c_str(), 1);
  EXPECT_EQ(default_profiles_dir(), (dir_ / "home" / ".brek").string());
  write(dir_ / "profiles.yml", "p: {}\n");
  EXPECT_EQ(default_profiles_dir(), fs::current_path().string());
  setenv("BREK_PROFILES_DIR", "/etc/brek", 1);
  EXPECT_EQ(default_profiles_dir(), "/etc/brek");
  setenv("BREK_PROFILES_DIR", "", 1);  // empty counts as unset
  EXPECT_EQ(default_profiles_dir(), fs::current_path().string());
}

TEST_F(ProfilesReaderTest, ReadsTheFileAndFillsInEnvironmentVariables) {
  setenv("ZYL_TEST_PASSWORD", "s3cr'et", 1);
  unsetenv("ZYL_TEST_UNSET");
  write(dir_ / "profiles.yml",
        "shop:\n"
        "  target: dev\n"
        "  outputs:\n"
        "    dev:\n"
        "      type: postgres\n"
        "      port: 5432\n"
        "      password: \"{{ env_var('ZYL_TEST_PASSWORD') }}\"\n"
        "      host: \"{{env_var(\\\"ZYL_TEST_UNSET\\\", 'db.local')}}\"\n"
        "      dsn: \"pg://u:{{ env_var('ZYL_TEST_PASSWORD') }}@h/{{ not_a_call }}\"\n"
        "      list: [\"{{ env_var('ZYL_TEST_UNSET', '') }}\"]\n");
  Value profiles = read_profiles_yml(dir_.string());
  const Value& dev = profiles["shop"]["outputs"]["dev"];
  EXPECT_EQ(dev["port"], 5432);
  EXPECT_EQ(dev["password"], "s3cr'et");
  EXPECT_EQ(dev["host"], "db.local");
  EXPECT_EQ(dev["dsn"], "pg://u:s3cr'et@h/{{ not_a_call }}");
  EXPECT_EQ(dev["list"][0], "");
}

TEST_F(ProfilesReaderTest, ProblemsGiveClearErrors) {
  EXPECT_THAT([&] { read_profiles_yml(dir_.string()); },
              ::testing::ThrowsMessage<ProfilesError>(HasSubstr("profiles.yml not found in")));
  write(dir_ / "profiles.yml", "shop:\n  outputs:\n    dev: [unclosed\n");
  EXPECT_THAT([&] { read_profiles_yml(dir_.string()); },
              ::testing::ThrowsMessage<ProfilesError>(::testing::AllOf(
                  HasSubstr("malformed YAML"), HasSubstr("profiles.yml:"))));
  write(dir_ / "profiles.yml", "password: \"{{ env_var('ZYL_TEST_NEVER_SET') }}\"\n");
  EXPECT_THAT([&] { read_profiles_yml(dir_.string()); },
              ::testing::ThrowsMessage<ProfilesError>(HasSubstr("'ZYL_TEST_NEVER_SET' is not set")));
  write(dir_ / "profiles.yml", "- a\n- b\n");
  EXPECT_THROW(read_profiles_yml(dir_.string()), ProfilesError);
  write(dir_ / "profiles.yml", "");
  EXPECT_EQ(read_profiles_yml(dir_.string()), Value::object());
}

}  // namespace
}  // namespace zyl::sync::profiles_reader
