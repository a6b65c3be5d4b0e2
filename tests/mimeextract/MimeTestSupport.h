#pragma once
// Shared helpers of the extraction engine's tests: a fresh engine and a private folder per
// test, the engine's log captured, messages unpacked as the attachment-saving route does.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>

namespace MimeTest {

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &data);
// Regular files directly in dir, name to content; a symbolic link appears as "-> target".
std::map<std::string, std::string> folder(const std::string &dir);
// Path of a file of the shared fixtures, or "" when they are absent.
std::string fixture(const std::string &relative);
// Lines ends as LF and trailing line ends removed: the engine keeps the line end that comes
// before a boundary with the part, other parsers give it to the boundary.
std::string normalised(const std::string &text);

class Engine : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Back to a fresh engine (counters included), the log still captured.
    void reset();
    // The log lines written since the test began.
    std::string log();
    // Writes message to a file and unpacks it into out() the way the attachment-saving
    // route does (fresh settings, unique names off), after settings() if given. Returns
    // what the output folder holds afterwards.
    std::map<std::string, std::string> unpack(const std::string &message,
                                              const std::function<void()> &settings = {});
    const std::string &root() const { return m_root; }
    const std::string &out() const { return m_out; }

private:
    std::string m_root, m_out;
    FILE *m_log = nullptr;
    char *m_logBuffer = nullptr;
    size_t m_logSize = 0;
    int m_messages = 0;
};

} // namespace MimeTest
