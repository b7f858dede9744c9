// One of the real dialogs (offscreen), started with its engine running flat
// out, measured from the UI thread's side: how long posted events wait
// (p50/p99/max), resident memory growth, the lamp timer's period and, with
// --stall-at, how soon events run promptly again after the UI thread was
// blocked for one second. Prints key=value lines.

#include "bench/bench_args.h"
#include "bench/latency_probe.h"
#include "channel/dc_pool.h"
#include "core/settings.h"
#include "engine/receive_engine.h"
#include "engine/send_engine.h"
#include "receiver/receiver_dialog.h"
#include "receiver/receiver_ids.h"
#include "sender/sender_dialog.h"
#include "sender/sender_ids.h"
#include "shell/dialog_app.h"
#include "shell/status_lamp.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using TimePoint = std::chrono::steady_clock::time_point;
using std::chrono::milliseconds;

long residentKb()
{
    long pages = 0;
    long resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double ms(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// The value at fraction q of the sorted values.
double quantile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto at =
        static_cast<std::size_t>(std::lround(q * static_cast<double>(values.size() - 1)));
    return values[std::min(at, values.size() - 1)];
}

void setText(MainDialog& dialog, int id, const char* text)
{
    static_cast<QLineEdit*>(dialog.control(id))->setText(QString::fromUtf8(text));
}

QString labelText(MainDialog& dialog, int id)
{
    auto* label = qobject_cast<QLabel*>(dialog.control(id));
    return label ? label->text() : QString();
}

// The dialogs with their engine's reports counted on the way to the dialog,
// so that the figures are taken as numbers, not read off the screen.
std::atomic<long long> reportedDatagrams{0};

class CountedSender : public SenderDialog {
public:
    using SenderDialog::SenderDialog;

protected:
    void runEngine(const SendSettings& settings) override
    {
        struct Tap final : SendSink {
            SendSink& to;
            explicit Tap(SendSink& sink) : to(sink) {}
            bool isRunning() const override { return to.isRunning(); }
            void flashLamp(Lamp lamp) override { to.flashLamp(lamp); }
            void setDefaultLamp(Lamp lamp) override { to.setDefaultLamp(lamp); }
            void showStatus(const SendStatus& status) override { to.showStatus(status); }
            void restoreButtons() override { to.restoreButtons(); }
            void showReport(const SendReport& report) override
            {
                reportedDatagrams = static_cast<long long>(report.datagrams);
                to.showReport(report);
            }
        } tap(sink());
        SendEngine(tap, worker().clock(), DcPool::global(), settings).run();
    }
};

class CountedReceiver : public ReceiverDialog {
public:
    using ReceiverDialog::ReceiverDialog;

protected:
    void runEngine(const ReceiveSettings& settings) override
    {
        struct Tap final : ReceiveSink {
            ReceiveSink& to;
            explicit Tap(ReceiveSink& sink) : to(sink) {}
            bool isRunning() const override { return to.isRunning(); }
            void flashLamp(Lamp lamp) override { to.flashLamp(lamp); }
            void setDefaultLamp(Lamp lamp) override { to.setDefaultLamp(lamp); }
            void showStatus(const ReceiveStatus& status) override { to.showStatus(status); }
            void showStatistics(const ReceiveReport& report) override
            {
                reportedDatagrams = static_cast<long long>(report.datagrams);
                to.showStatistics(report);
            }
            void restoreButtons() override { to.restoreButtons(); }
        } tap(sink());
        ReceiveEngine(tap, capture(), worker().clock(), DcPool::global(), settings).run();
    }
};

}   // namespace

int main(int argc, char** argv)
{
    BenchArgs args;
    if (!args.parse(argc, argv)) {
        std::fprintf(stderr, "bench_ui: %s\n", args.error().c_str());
        return 2;
    }
    const bool sender = args.text("dialog", "sender") == "sender";
    const auto window = milliseconds(static_cast<long>(args.number("seconds", 10) * 1000));
    const auto warmup = milliseconds(static_cast<long>(args.number("warmup", 0.5) * 1000));
    const double stallAt = args.number("stall-at", -1);
    const std::string group = args.text("group", std::string(RunDefaults::kGroup));
    const std::string port = args.text("port", std::to_string(RunDefaults::kPort));

    int qtArgc = 1;
    DialogApp app(qtArgc, argv);
    std::unique_ptr<MainDialog> dialog;
    if (sender) {
        dialog = std::make_unique<CountedSender>(DcPool::global());
        setText(*dialog, SenderIds::IDC_SPEED, "100000000");
        setText(*dialog, SenderIds::IDC_PACKET_SIZE,
                std::to_string(RunDefaults::kPacketSize).c_str());
    } else {
        dialog = std::make_unique<CountedReceiver>(DcPool::global());
    }
    // Both dialogs put group and port at the same ids.
    static_assert(SenderIds::IDC_GROUP_ADDR == ReceiverIds::IDC_GROUP_ADDR);
    static_assert(SenderIds::IDC_PORT == ReceiverIds::IDC_PORT);
    setText(*dialog, SenderIds::IDC_GROUP_ADDR, group.c_str());
    setText(*dialog, SenderIds::IDC_PORT, port.c_str());

    LatencyProbe probe(std::chrono::microseconds(5000));
    std::vector<TimePoint> ticks;
    ticks.reserve(1024);
    // Connected after the lamp's own handler, so each entry is a tick done.
    QObject::connect(&dialog->lamp().timer(), &QTimer::timeout,
                     [&ticks] { ticks.push_back(std::chrono::steady_clock::now()); });

    TimePoint started;
    TimePoint from;
    TimePoint until;
    TimePoint stallEnd;
    long rssBeforeStart = 0;
    long rssFrom = 0;
    long rssUntil = 0;
    QString statusText;
    QString packetsText;
    long long datagrams = 0;

    QTimer::singleShot(500, dialog.get(), [&] {
        rssBeforeStart = residentKb();
        static_cast<QPushButton*>(dialog->control(ShellIds::IDOK))->click();
        started = std::chrono::steady_clock::now();
        QTimer::singleShot(warmup, dialog.get(), [&] {
            from = std::chrono::steady_clock::now();
            rssFrom = residentKb();
            probe.start();
        });
        if (stallAt >= 0) {
            QTimer::singleShot(warmup + milliseconds(static_cast<long>(stallAt * 1000)),
                               dialog.get(), [&] {
                                   std::this_thread::sleep_for(std::chrono::seconds(1));
                                   stallEnd = std::chrono::steady_clock::now();
                               });
        }
        QTimer::singleShot(warmup + window, dialog.get(), [&] {
            until = std::chrono::steady_clock::now();
            rssUntil = residentKb();
            probe.stop();
            statusText =
                labelText(*dialog, sender ? SenderIds::IDC_STATUS : ReceiverIds::IDC_STATUS);
            packetsText = labelText(*dialog, ReceiverIds::IDC_PACKETS);
            datagrams = reportedDatagrams.load();
            static_cast<QPushButton*>(dialog->control(ShellIds::IDC_STOP))->click();
            QTimer::singleShot(200, dialog.get(), [&] { dialog->done(0); });
        });
    });
    app.run(*dialog);

    std::vector<double> latencies;
    double recoveryMs = 0;
    for (const LatencyProbe::Sample& sample : probe.samples()) {
        if (sample.posted < from || sample.posted > until)
            continue;
        latencies.push_back(sample.latencyMs());
        if (stallAt >= 0 && sample.handled > stallEnd && sample.latencyMs() >= 50)
            recoveryMs = std::max(recoveryMs, ms(sample.handled - stallEnd));
    }
    std::vector<double> periods;
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        if (ticks[i - 1] >= from && ticks[i] <= until)
            periods.push_back(ms(ticks[i] - ticks[i - 1]));
    }

    std::printf("samples=%zu\n", latencies.size());
    std::printf("p50_ms=%.3f\n", quantile(latencies, 0.50));
    std::printf("p99_ms=%.3f\n", quantile(latencies, 0.99));
    std::printf("max_ms=%.3f\n", quantile(latencies, 1.0));
    std::printf("rss_kb=%ld\n", rssUntil);
    std::printf("rss_growth_kb=%ld\n", rssUntil - rssFrom);
    std::printf("rss_growth_from_start_kb=%ld\n", rssUntil - rssBeforeStart);
    std::printf("ticks=%zu\n", periods.size());
    std::printf("tick_median_ms=%.1f\n", quantile(periods, 0.5));
    std::printf("tick_min_ms=%.1f\n", quantile(periods, 0.0));
    std::printf("tick_max_ms=%.1f\n", quantile(periods, 1.0));
    std::printf("recovery_ms=%.1f\n", recoveryMs);
    std::printf("datagrams=%lld\n", datagrams);
    std::printf("status=%s\n", statusText.toStdString().c_str());
    std::printf("packets=%s\n", packetsText.toStdString().c_str());
    (void)started;
    return 0;
}
