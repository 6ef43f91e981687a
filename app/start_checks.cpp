#include "app/start_checks.h"

#include "app/agent_options.h"
#include "app/cw_options.h"
#include "app/fault_options.h"
#include "app/key_line_options.h"
#include "app/key_source.h"
#include "app/run_seed.h"
#include "common/host_port.h"
#include "morse/key_schedule.h"
#include "morse/morse_style.h"

#include <QTextStream>

QString start_refusal(const QCommandLineParser& parser, const AgentOptions& options, FaultConfig* faults,
                      std::vector<SendDestination>* also)
{
    for (const QString& error : {command_line_error(parser), ttl_ms_option_error(options)})
        if (!error.isEmpty())
            return error;
    if (!host_is_numeric_address(options.host))
        return host_error_text(options.host);
    for (const QString& error : {number_option_error(options), payload_option_error(options),
                                 seed_option_error(options)})
        if (!error.isEmpty())
            return error;
    QString error = fault_option_error(options, faults);
    if (error.isEmpty())
        error = also_option_error(options, also);
    if (error.isEmpty())
        error = key_source_option_error(options);
    if (error.isEmpty())
        error = key_line_option_error(options);
    if (error.isEmpty())
        error = cw_option_error(options);
    return error;
}

bool load_keyless_schedule(const AgentOptions& options, quint64 seed, KeySchedule* schedule, QTextStream& err)
{
    QString load_error;
    if (!load_key_schedule(options, schedule, &load_error)) {
        err << load_error << '\n';
        return false;
    }
    const QString warning = repeated_script_warning(options, *schedule);
    if (!warning.isEmpty())
        err << warning << '\n';
    err.flush();
    if (options.key_text_set)
        apply_morse_style(*schedule, morse_style(options, seed));
    return true;
}
