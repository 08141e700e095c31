#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cctype>

namespace testsupport {
namespace {

// Keeps only characters that are safe in a file name on every file system.
std::string Sanitized(const std::string& text) {
  std::string out;
  for (char c : text) out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
  return out;
}

std::string TestName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!info) return "no-test";
  return Sanitized(std::string(info->test_suite_name()) + "." + info->name());
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
  static std::atomic<unsigned> s_Count{0};
  const std::string name = "hsd-" + std::to_string(::getpid()) + "-" + TestName() + "-" + std::to_string(s_Count++);
  std::error_code error;
  m_Path = std::filesystem::temp_directory_path(error) / name;
  std::filesystem::remove_all(m_Path, error);
  std::filesystem::create_directories(m_Path, error);
  EXPECT_FALSE(error) << "cannot create " << m_Path << ": " << error.message();
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code error;
  std::filesystem::remove_all(m_Path, error);
}

}  // namespace testsupport
