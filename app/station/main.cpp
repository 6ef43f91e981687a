// keyline-station: stands in for a station's inhibit port. Receives the
// inhibit datagrams, checks each one, keeps the hold each sender would have on
// the station, and reports holds, releases, lapses and problems.

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <signal.h>

#include "app/station/station_finish.h"
#include "app/station/station_run.h"
#include "app/station/station_start.h"
#include "common/signal_pipe.h"
#include "rig/hamlib_rig.h"

namespace {

// Datagrams taken per wake-up of the socket before the event loop gets a
// turn (the notifier fires again at once while more are queued).
constexpr int DRAIN_BATCH = 4096;

// Help, version, the rig list or a usage error: the status to exit with at
// once; -1 for a run.
int answered_at_once(const OptionsResult& parsed, QTextStream& err)
{
    switch (parsed.outcome) {
    case OptionsOutcome::Help:
    case OptionsOutcome::Version: QTextStream(stdout) << parsed.text; return EXIT_CLEAN;
    case OptionsOutcome::Error: err << parsed.text << '\n'; return EXIT_USAGE;
    case OptionsOutcome::ListRigs: {
        std::vector<RigModel> models;
        QString why;
        if (!list_rig_models(models, why)) {
            err << "keyline-station: --list-rigs: " << why << '\n';
            return EXIT_USAGE;
        }
        QTextStream listing(stdout);
        for (const RigModel& m : models)
            listing << QStringLiteral("%1\t%2\t%3\t%4\n").arg(m.model).arg(m.maker, m.name, m.status);
        return EXIT_CLEAN;
    }
    case OptionsOutcome::Run: break;
    }
    // Every output is checked before anything is created or bound.
    const QString path_problem = output_paths_problem(station_outputs(parsed.options));
    if (!path_problem.isEmpty()) {
        err << "keyline-station: " << path_problem << '\n';
        return EXIT_USAGE;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("keyline-station"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1"));

    QTextStream err(stderr);
    const OptionsResult parsed = read_station_options(QCoreApplication::arguments());
    const int answered = answered_at_once(parsed, err);
    if (answered >= 0)
        return answered;

    // Ctrl-C, SIGTERM and SIGHUP end the run with its summary.
    const int stop_fd = install_signal_pipe({SIGINT, SIGTERM, SIGHUP});
    StationRun run;
    const int refused = start_station_run(run, parsed.options, err);
    if (refused != 0)
        return refused;

    auto finish = [&] {
        if (!run.finished)
            QCoreApplication::exit(finish_station_run(run));
    };
    // One precise single-shot timer for whatever is due next.
    QTimer deadline_timer;
    deadline_timer.setSingleShot(true);
    deadline_timer.setTimerType(Qt::PreciseTimer);
    auto rearm = [&] {
        if (run.finished)
            return;
        const qint64 deadline = next_deadline_ms(run);
        if (deadline < 0) {
            deadline_timer.stop();
            return;
        }
        deadline_timer.start(static_cast<int>(qBound<qint64>(0, deadline - station_now_ms(), 3600 * 1000)));
    };
    QObject::connect(&deadline_timer, &QTimer::timeout, &app, [&] {
        // The time is read first: whatever the kernel queued before it is
        // taken in before a lapse is declared.
        const qint64 now = station_now_ms();
        catch_up(run, now);
        if (enough_holds(run) || (run.run_end_ms >= 0 && now >= run.run_end_ms))
            finish();
        rearm();
    });

    QSocketNotifier socket_notifier(parsed.options.forward ? run.tap.wake_fd : run.fd, QSocketNotifier::Read);
    QObject::connect(&socket_notifier, &QSocketNotifier::activated, &app, [&] {
        drain_datagrams(run, DRAIN_BATCH, -1);
        if (enough_holds(run))
            finish();
        rearm();
    });

    // What the rig's poller or the log's reader hands over: taken, then judged
    // once the model is known up to now.
    for (int side = 0; side < 2; ++side) {
        const int watch_fd = station_watch_fd(run.watch, side);
        if (watch_fd < 0)
            continue;
        auto* notifier = new QSocketNotifier(watch_fd, QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&, notifier, side] {
            if (run.finished)
                return;
            take_watch_input(run.watch, run.events);
            if (run.watch.cannot_start) {
                err << "keyline-station: " << run.watch.start_error << Qt::endl;
                run.finished = true;
                QCoreApplication::exit(EXIT_USAGE);
                return;
            }
            catch_up(run, station_now_ms());
            if (station_watch_fd(run.watch, side) < 0)
                notifier->setEnabled(false);
            if (enough_holds(run))
                finish();
            rearm();
        });
    }

    if (stop_fd >= 0) {
        auto* stop_notifier = new QSocketNotifier(stop_fd, QSocketNotifier::Read, &app);
        QObject::connect(stop_notifier, &QSocketNotifier::activated, &app, [&, stop_fd] {
            if (take_piped_signal(stop_fd) != 0)
                finish();
        });
    }

    rearm();
    const int result = QCoreApplication::exec();
    socket_notifier.setEnabled(false);
    end_station_run(run);
    return result;
}
