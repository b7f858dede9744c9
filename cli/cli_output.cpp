#include "cli/cli_output.h"

#include <cinttypes>
#include <ctime>

namespace {

// Local wall-clock time of day with milliseconds, e.g. "16:55:07.123".
std::string timeStamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(ms.count()));
    return text;
}

}   // namespace

JsonField jsonNumber(std::string_view key, std::uint64_t value)
{
    return {key, std::to_string(value)};
}

JsonField jsonNumber(std::string_view key, std::int64_t value)
{
    return {key, std::to_string(value)};
}

JsonField jsonText(std::string_view key, std::string_view text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return {key, std::move(quoted)};
}

CliOutput::CliOutput(std::string program, bool json, bool quiet)
    : program_(std::move(program)), json_(json), quiet_(quiet),
      start_(std::chrono::steady_clock::now())
{
}

double CliOutput::elapsedSeconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::uint64_t CliOutput::elapsedMs() const
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start_)
                                          .count());
}

void CliOutput::report(const std::string& text, const std::vector<JsonField>& fields)
{
    std::lock_guard guard(lock_);
    eventShown_ = false;
    if (!quiet_)
        printLine(text, fields, false);
}

void CliOutput::summary(const std::string& text, const std::vector<JsonField>& fields)
{
    std::lock_guard guard(lock_);
    printLine(text, fields, true);
}

void CliOutput::event(const std::string& text)
{
    std::lock_guard guard(lock_);
    if (eventShown_ && text == lastEvent_)
        return;
    lastEvent_ = text;
    eventShown_ = true;
    if (!quiet_) {
        std::fprintf(stderr, "%s  %s\n", timeStamp().c_str(), text.c_str());
        std::fflush(stderr);
    }
}

void CliOutput::fail(const std::string& text)
{
    std::lock_guard guard(lock_);
    std::fprintf(stderr, "%s: %s\n", program_.c_str(), text.c_str());
    std::fflush(stderr);
}

void CliOutput::printLine(const std::string& text, const std::vector<JsonField>& fields, bool final)
{
    if (!json_) {
        std::printf("%s  %s\n", timeStamp().c_str(), text.c_str());
    } else {
        std::string line = "{";
        if (final)
            line += "\"final\":true,";
        char t[32];
        std::snprintf(t, sizeof t, "\"t\":%.3f", elapsedSeconds());
        line += t;
        for (const JsonField& field : fields) {
            line += ",\"";
            line += field.key;
            line += "\":";
            line += field.value;
        }
        line += "}";
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}
