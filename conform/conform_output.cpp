#include "conform/conform_output.h"

#include "common/json_line.h"
#include "conform/scenario_model.h"
#include "conform/scenarios.h"

const char* outcome_label(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Pass: return "PASS";
    case Outcome::Fail: return "FAIL";
    case Outcome::NotJudged: break;
    }
    return "NOT JUDGED";
}

const char* outcome_name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Pass: return "pass";
    case Outcome::Fail: return "fail";
    case Outcome::NotJudged: break;
    }
    return "not_judged";
}

ConformTally tally(const std::vector<ScenarioResult>& results)
{
    ConformTally counts;
    for (const ScenarioResult& result : results) {
        if (result.outcome == Outcome::Pass)
            ++counts.passed;
        else if (result.outcome == Outcome::Fail)
            ++counts.failed;
        else
            ++counts.not_judged;
    }
    return counts;
}

QString verdict_line(const ScenarioResult& result)
{
    return QStringLiteral("%1  %2  %3")
        .arg(QLatin1String(outcome_label(result.outcome)), result.scenario->name, result.text);
}

QString verdict_json(const ScenarioResult& result, qint64 run_start_ms)
{
    JsonLine line;
    line.text("event", QStringLiteral("scenario"));
    line.text("name", result.scenario->name);
    line.text("verdict", QLatin1String(outcome_name(result.outcome)));
    line.text("text", result.text);
    line.text("rule", result.scenario->rule);
    line.number("start_ms", result.start_ms - run_start_ms);
    line.number("length_ms", result.end_ms - result.start_ms);
    line.number("datagrams", static_cast<qint64>(result.sent.size()));
    QString findings = QStringLiteral("[");
    for (const Finding& finding : result.findings) {
        JsonLine item;
        item.text("kind", finding.kind);
        item.number("at_ms", finding.at_ms - result.start_ms);
        item.number_if("offset_ms", finding.offset_ms);
        item.number_if("lasted_ms", finding.lasted_ms);
        item.text("text", finding.text);
        if (findings.size() > 1)
            findings += QLatin1Char(',');
        findings += item.done();
    }
    line.key("findings");
    line.out += findings + QLatin1Char(']');
    return line.done();
}

QString summary_line(const ConformTally& counts, int scenarios)
{
    return QStringLiteral("conformance: %1 of %2 passed, %3 failed, %4 not judged")
        .arg(counts.passed)
        .arg(scenarios)
        .arg(counts.failed)
        .arg(counts.not_judged);
}

QString summary_json(const ConformTally& counts, int scenarios, qint64 run_ms)
{
    JsonLine line;
    line.text("event", QStringLiteral("summary"));
    line.number("scenarios", scenarios);
    line.number("passed", counts.passed);
    line.number("failed", counts.failed);
    line.number("not_judged", counts.not_judged);
    line.number("run_ms", run_ms);
    return line.done();
}

QString list_text(qint64 react_ms)
{
    QString text = QStringLiteral("%1  %2  %3  %4\n")
                       .arg(QStringLiteral("scenario"), -16)
                       .arg(QStringLiteral("rule"), -5)
                       .arg(QStringLiteral("length"), 6)
                       .arg(QStringLiteral("what the station must do (rule: section of docs/TX_INHIBIT.md)"));
    std::vector<const Scenario*> all;
    for (const Scenario& scenario : conform_scenarios()) {
        all.push_back(&scenario);
        text += QStringLiteral("%1  %2  %3 s  %4\n")
                    .arg(scenario.name, -16)
                    .arg(scenario.rule, -5)
                    .arg(QString::number(scenario_length_ms(scenario, react_ms) / 1000.0, 'f', 1), 4)
                    .arg(scenario.must);
    }
    text += QStringLiteral("whole run: %1 s, with a %2 s settle pause before each scenario\n")
                .arg(QString::number(run_length_ms(all, react_ms) / 1000.0, 'f', 1))
                .arg(QString::number(CONFORM_SETTLE_MS / 1000.0, 'f', 1));
    return text;
}
