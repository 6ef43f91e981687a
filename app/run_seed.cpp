#include "app/run_seed.h"

#include <QRandomGenerator>

#include "app/agent_options.h"

quint64 run_seed(const AgentOptions& options)
{
    if (options.seed_set && options.seed_valid)
        return options.seed;
    return QRandomGenerator::system()->generate64();
}

QString seed_banner_line(quint64 seed)
{
    return QStringLiteral("  seed=%1  (--seed %1 replays the random draws)\n").arg(seed);
}
