#include "cli/cli_output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <string>

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

std::string errorLine(std::string_view program, bool json, std::string_view message)
{
    if (!json)
        return std::string(program) + ": " + std::string(message) + "\n";
    return "{\"type\":\"event\",\"ts\":\"" + rfc3339Now() +
           "\",\"event\":\"error\",\"message\":" + jsonText("", message).value + "}\n";
}

CliOutput::CliOutput(std::string program, bool json, bool quiet, int out, int err)
    : program_(std::move(program)), json_(json), quiet_(quiet), out_(out), err_(err),
      start_(std::chrono::steady_clock::now())
{
    std::signal(SIGPIPE, SIG_IGN);
    writer_ = std::thread([this] { writeLines(); });
}

CliOutput::~CliOutput()
{
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    queued_.notify_one();
    writer_.join();
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

void CliOutput::start(const std::vector<JsonField>& fields)
{
    if (!json_)
        return;
    // The version right after the type, before anything whose meaning it
    // gives.
    std::string line = formatLine({}, fields, {"start", false});
    const std::string_view opening = "{\"type\":\"start\",";
    line.insert(opening.size(), "\"version\":" + std::to_string(kJsonVersion) + ",");
    put(std::move(line), false);
}

void CliOutput::report(const std::string& text, const std::vector<JsonField>& fields)
{
    {
        std::lock_guard guard(eventLock_);
        eventShown_ = false;
    }
    if (!quiet_ && !screen_.load(std::memory_order_relaxed))
        offer(formatLine(text, fields, kReport), false);
}

void CliOutput::reportsLater(ReportMaker make)
{
    {
        std::lock_guard guard(eventLock_);
        eventShown_ = false;
    }
    if (!quiet_ && !screen_.load(std::memory_order_relaxed))
        offer(head(), false, std::move(make));
}

void CliOutput::summary(const std::string& text, const std::vector<JsonField>& fields)
{
    put(formatLine(text, fields, kFinal), false);
}

void CliOutput::summaries(const std::vector<std::string>& texts,
                          const std::vector<std::vector<JsonField>>& objects)
{
    put(formatLines(texts, objects, head(), kFinal), false);
}

bool CliOutput::notRepeated(const std::string& text)
{
    std::lock_guard guard(eventLock_);
    if (eventShown_ && text == lastEvent_)
        return false;
    lastEvent_ = text;
    lastEventAt_ = timeStamp().substr(0, 8);
    eventShown_ = true;
    return true;
}

std::string CliOutput::latestEvent() const
{
    std::lock_guard guard(eventLock_);
    return lastEvent_.empty() ? std::string() : lastEventAt_ + "  " + lastEvent_;
}

void CliOutput::showScreen(bool shown, bool errToo)
{
    screen_.store(shown, std::memory_order_relaxed);
    std::string held;
    {
        std::lock_guard guard(lock_);
        holdErr_ = shown && errToo;
        if (shown)
            return;
        for (const std::string& line : held_)
            held += line;
        held_.clear();
    }
    if (!held.empty())
        put(std::move(held), true);
}

void CliOutput::event(std::string_view name, const std::string& text,
                      const std::vector<JsonField>& fields)
{
    if (notRepeated(text) && !quiet_)
        offer(eventLine(name, text, fields), true);
}

void CliOutput::alert(std::string_view name, const std::string& text,
                      const std::vector<JsonField>& fields)
{
    if (notRepeated(text))
        offer(eventLine(name, text, fields), true);
}

void CliOutput::fail(const std::string& text)
{
    put(json_ ? eventLine("error", text, {}) : program_ + ": " + text + "\n", true);
}

std::string CliOutput::eventLine(std::string_view name, const std::string& text,
                                 const std::vector<JsonField>& fields) const
{
    if (!json_)
        return timeStamp() + "  " + text + "\n";
    std::vector<JsonField> all{jsonText("event", name), jsonText("message", text)};
    all.insert(all.end(), fields.begin(), fields.end());
    return formatLine(text, all, {"event", false});
}

std::uint64_t CliOutput::dropped() const
{
    std::lock_guard guard(lock_);
    return dropped_;
}

std::string CliOutput::formatLine(const std::string& text, const std::vector<JsonField>& fields,
                                  Kind kind) const
{
    return formatLines({text}, {fields}, head(), kind);
}

std::string CliOutput::head() const
{
    if (!json_)
        return timeStamp() + "  ";
    return "\"ts\":\"" + rfc3339Now() + "\",\"t\":" + fixedText(elapsedSeconds(), 3);
}

std::string CliOutput::formatLines(const std::vector<std::string>& texts,
                                   const std::vector<std::vector<JsonField>>& objects,
                                   const std::string& head, Kind kind) const
{
    std::string lines;
    if (!json_) {
        for (const std::string& text : texts) {
            std::size_t at = 0;
            for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
                lines += head + text.substr(at, end - at) + "\n";
            lines += head + text.substr(at) + "\n";
        }
        return lines;
    }
    const std::string type = jsonText("", kind.type).value;
    for (const std::vector<JsonField>& fields : objects) {
        const auto named = std::find_if(fields.begin(), fields.end(),
                                        [](const JsonField& f) { return f.key == "type"; });
        lines += "{\"type\":";
        lines += named != fields.end() ? named->value : type;
        if (kind.final)
            lines += ",\"final\":true";
        lines += ',';
        lines += head;
        for (auto field = fields.begin(); field != fields.end(); ++field) {
            if (field == named)
                continue;
            lines += ",\"";
            lines += field->key;
            lines += "\":";
            lines += field->value;
        }
        lines += "}\n";
    }
    return lines;
}

void CliOutput::offer(std::string text, bool toErr, ReportMaker make)
{
    {
        std::lock_guard guard(lock_);
        if (queue_.size() >= kQueuedLines) {
            ++dropped_;
            return;
        }
        queue_.push_back({std::move(text), toErr, ++numbered_, std::move(make)});
    }
    queued_.notify_one();
}

void CliOutput::put(std::string text, bool toErr)
{
    std::unique_lock lock(lock_);
    const std::uint64_t number = ++numbered_;
    queue_.push_back({std::move(text), toErr, number, {}});
    queued_.notify_one();
    written_.wait(lock, [&] { return writtenUpTo_ >= number; });
}

void CliOutput::writeLines()
{
    std::unique_lock lock(lock_);
    for (;;) {
        queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        Line line = std::move(queue_.front());
        queue_.pop_front();
        if (line.toErr && holdErr_) {
            if (held_.size() < kQueuedLines)
                held_.push_back(std::move(line.text));
            else
                ++dropped_;
            writtenUpTo_ = line.number;
            written_.notify_all();
            continue;
        }
        lock.unlock();
        if (line.make) {
            std::vector<std::string> texts;
            std::vector<std::vector<JsonField>> objects;
            line.make(texts, objects);
            line.text = formatLines(texts, objects, line.text, kReport);
        }
        if (line.toErr)
            writeAll(err_, line.text);
        else if (!closed() && !writeAll(out_, line.text))
            closed_.store(true, std::memory_order_release);
        lock.lock();
        writtenUpTo_ = line.number;
        written_.notify_all();
        // The reader has caught up: say what it missed.
        if (queue_.empty() && dropped_ != droppedSaid_ && !holdErr_) {
            const std::uint64_t missed = dropped_ - droppedSaid_;
            droppedSaid_ = dropped_;
            lock.unlock();
            const std::string text =
                std::to_string(missed) + " lines not printed: the output was not read in time";
            writeAll(err_, json_ ? eventLine("lines-dropped", text, {jsonNumber("lines", missed)})
                                 : program_ + ": " + text + "\n");
            lock.lock();
        }
    }
}

bool CliOutput::writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}
