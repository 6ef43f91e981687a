// keyline-conform: checks a station application against every MUST of the
// inhibit protocol. It is the KEY agent, plays one scenario at a time to the
// station, watches what the station does and judges it against the model.

#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <signal.h>

#include <vector>

#include "common/output_path.h"
#include "common/signal_pipe.h"
#include "conform/conform_options.h"
#include "conform/conform_output.h"
#include "conform/conform_reports.h"
#include "conform/conform_vcd.h"
#include "conform/conform_watch.h"
#include "conform/scenario_model.h"
#include "conform/scenario_sender.h"
#include "monitor/monotonic_clock.h"
#include "report/report_file.h"

namespace {

const char PROGRAM[] = "keyline-conform";

std::vector<OutputPath> conform_outputs(const ConformOptions& o)
{
    return {{QStringLiteral("--vcd"), o.vcd_file, OutputKind::New},
            {QStringLiteral("--timeline"), o.timeline_file, OutputKind::RegularOrNew},
            {QStringLiteral("--junit"), o.junit_file, OutputKind::RegularOrNew}};
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("keyline-conform"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1"));

    QTextStream out(stdout);
    QTextStream err(stderr);
    const ConformOptionsResult parsed = read_conform_options(QCoreApplication::arguments());
    if (parsed.outcome == ConformOutcome::Help || parsed.outcome == ConformOutcome::Version) {
        out << parsed.text;
        return CONFORM_EXIT_PASSED;
    }
    if (parsed.outcome == ConformOutcome::Error) {
        err << parsed.text << '\n';
        return CONFORM_EXIT_CANNOT;
    }
    const ConformOptions& options = parsed.options;
    if (options.list) {
        out << list_text(options.watch.react_ms);
        return CONFORM_EXIT_PASSED;
    }
    const std::vector<const Scenario*> scenarios = select_scenarios(options.only, nullptr);

    // Every output is checked before anything is created; a refused start
    // leaves no file of its own behind.
    const QString path_problem = output_paths_problem(conform_outputs(options));
    if (!path_problem.isEmpty()) {
        err << PROGRAM << ": " << path_problem << Qt::endl;
        return CONFORM_EXIT_CANNOT;
    }
    ReportFile junit_file, timeline_file;
    auto refuse = [&](const QString& why) {
        err << why << Qt::endl;
        discard_report(junit_file);
        discard_report(timeline_file);
        return CONFORM_EXIT_CANNOT;
    };
    QString open_error;
    if (!open_report(junit_file, PROGRAM, "--junit", options.junit_file, open_error) ||
        !open_report(timeline_file, PROGRAM, "--timeline", options.timeline_file, open_error))
        return refuse(open_error);

    QString watch_error;
    ConformWatch* watch = start_conform_watch(options, &watch_error);
    if (!watch)
        return refuse(QStringLiteral("keyline-conform: ") + watch_error);
    const QDateTime started = QDateTime::currentDateTime();
    const qint64 run_start_ms = monotonic_now_ms();

    ConformVcd vcd;
    if (!options.vcd_file.isEmpty()) {
        QString reason;
        const QString wire = options.watch.rig.isEmpty() ? QStringLiteral("station_inhibited") : QStringLiteral("tx");
        if (!open_conform_vcd(vcd, options.vcd_file, started, run_start_ms, QCoreApplication::arguments(), wire,
                              &reason)) {
            stop_conform_watch(watch);
            return refuse(QStringLiteral("keyline-conform: --vcd %1: %2").arg(options.vcd_file, reason));
        }
        vcd.writer.err = &err;
    }

    // Ctrl-C, SIGTERM and SIGHUP end the run: what ran is reported, the rest is not judged.
    const int stop_fd = install_signal_pipe({SIGINT, SIGTERM, SIGHUP});

    ScenarioSender sender;
    sender.station = options.station_address;
    sender.station_port = options.station_port;
    std::vector<ScenarioResult> results;
    size_t next = 0;
    bool stopped = false;
    bool cannot_run = false;  // a source socket could not be opened

    QTimer phase;  // the settle pause, then the end of the scenario's watch
    phase.setSingleShot(true);
    phase.setTimerType(Qt::PreciseTimer);
    QTimer sampling;  // the watch's samples taken in while the run goes on
    QObject::connect(&sampling, &QTimer::timeout, [&] { take_watch_samples(watch); });
    sampling.start(50);

    auto print = [&](const QString& text, const QString& json) {
        out << (options.json ? json : text) << '\n';
        out.flush();
    };
    auto finish = [&] {
        sampling.stop();
        phase.stop();
        stop_scenario(sender);
        take_watch_samples(watch);
        const qint64 end_ms = monotonic_now_ms();
        // What a stop left unplayed is not judged: it was not seen.
        for (size_t i = results.size(); i < scenarios.size(); ++i) {
            ScenarioResult result;
            result.scenario = scenarios[i];
            result.start_ms = result.end_ms = end_ms;
            result.outcome = Outcome::NotJudged;
            result.text = QStringLiteral("the run was stopped before it ended");
            print(verdict_line(result), verdict_json(result, run_start_ms));
            results.push_back(result);
        }
        const ConformTally counts = tally(results);
        print(summary_line(counts, static_cast<int>(results.size())),
              summary_json(counts, static_cast<int>(results.size()), end_ms - run_start_ms));
        QString write_error;
        bool written = write_report(junit_file, PROGRAM, junit_xml(results, options.station_text, started), write_error);
        written = write_report(timeline_file, PROGRAM,
                               timeline_svg(results, observed_lane(watch),
                                            QStringLiteral("keyline-conform %1 against %2")
                                                .arg(started.toString(Qt::ISODate), options.station_text)),
                               write_error) &&
                  written;
        err << write_error;
        err.flush();
        close_conform_vcd(vcd, end_ms);
        const int status = !written || cannot_run ? CONFORM_EXIT_CANNOT
                           : counts.passed == static_cast<int>(results.size()) && !results.empty()
                               ? CONFORM_EXIT_PASSED
                               : CONFORM_EXIT_FAILED;
        QCoreApplication::exit(status);
    };

    std::function<void()> settle, play, conclude;
    settle = [&] {
        if (stopped)
            return;
        if (next >= scenarios.size()) {
            finish();
            return;
        }
        QObject::disconnect(&phase, nullptr, nullptr, nullptr);
        QObject::connect(&phase, &QTimer::timeout, play);
        phase.start(static_cast<int>(CONFORM_SETTLE_MS));
    };
    play = [&] {
        const Scenario& scenario = *scenarios[next];
        const qint64 start = monotonic_now_ms();
        if (!start_scenario(sender, scenario, start)) {
            err << "keyline-conform: " << scenario.name << ": " << sender.error << Qt::endl;
            stopped = cannot_run = true;
            finish();
            return;
        }
        QObject::disconnect(&phase, nullptr, nullptr, nullptr);
        QObject::connect(&phase, &QTimer::timeout, conclude);
        const qint64 end = start + scenario_length_ms(scenario, options.watch.react_ms);
        phase.start(static_cast<int>(qMax<qint64>(0, end - monotonic_now_ms())));
    };
    conclude = [&] {
        const Scenario& scenario = *scenarios[next];
        ScenarioResult result;
        result.scenario = &scenario;
        result.start_ms = sender.start_ms;
        result.end_ms = monotonic_now_ms();
        stop_scenario(sender);
        result.sent = sender.sent;
        result.model = sent_model(scenario, result.sent, result.end_ms);
        take_watch_samples(watch);
        judge_scenario(watch, result);
        print(verdict_line(result), verdict_json(result, run_start_ms));
        conform_vcd_scenario(vcd, result, observed_lane(watch));
        results.push_back(result);
        ++next;
        settle();
    };

    if (stop_fd >= 0) {
        auto* stop_notifier = new QSocketNotifier(stop_fd, QSocketNotifier::Read, &app);
        QObject::connect(stop_notifier, &QSocketNotifier::activated, &app, [&, stop_fd] {
            if (take_piped_signal(stop_fd) != 0 && !stopped) {
                stopped = true;
                finish();
            }
        });
    }

    settle();
    const int status = QCoreApplication::exec();
    stop_conform_watch(watch);
    delete sender.timer;
    return status;
}
