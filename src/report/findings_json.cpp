#include "report/findings_json.h"

#include <utility>

namespace {

using Json = nlohmann::ordered_json;

Json distribution(const Distribution& d)
{
    return {{"p50", d.p50}, {"p95", d.p95}, {"p99", d.p99}, {"p999", d.p999}, {"max", d.max}};
}

// A figure the log did not give is null, not 0.
Json known(double value)
{
    return value != 0.0 ? Json(value) : Json();
}

}   // namespace

void addFindingsJson(const Findings& findings, Json* json)
{
    Json sentences = Json::array();
    for (const Finding& f : findings.sentences)
        sentences.push_back({{"key", f.key}, {"topic", f.topic}, {"mark", markName(f.mark)}, {"text", f.text}, {"link", f.link}});
    (*json)["findings"] = {{"sentences", std::move(sentences)}};

    Json refresh = Json::array();
    for (const RefreshFinding& r : findings.refresh) {
        Json entry = {{"output", r.name},
                      {"nominal_hz", known(r.nominalHz)},
                      {"rate_refresh_hz", known(r.rateRefreshHz)},
                      {"qpc_refresh_period_ms", known(r.qpcRefreshPeriodMs)},
                      {"measured_hz", r.measuredHz},
                      {"ppm_vs_nominal", r.nominalHz > 0 ? Json(r.ppmVsNominal) : Json()},
                      {"frame_slip_s", known(r.frameSlipS)}};
        if (r.hasTruth)
            entry["true_hz"] = r.trueHz;
        refresh.push_back(std::move(entry));
    }
    (*json)["refresh"] = std::move(refresh);

    Json methods = Json::array();
    for (const MethodScore& m : findings.methods) {
        Json entry = {{"method", m.method}, {"output", m.output},   {"test", m.test},
                      {"count", m.lateUs.count}, {"late_us", distribution(m.lateUs)}, {"missed", m.missed},
                      {"rank", m.rank},          {"cost", m.cost},   {"verdict", m.verdict}};
        if (m.noVblank > 0)
            entry["no_vblank"] = m.noVblank;
        if (m.hasTruth)
            entry["true_late_us"] = distribution(m.lateTrueUs);
        methods.push_back(std::move(entry));
    }
    (*json)["methods"] = std::move(methods);

    Json reference = Json::array();
    for (const ReferenceTimeline& r : findings.references) {
        Json segments = Json::array();
        for (const ReferenceSegment& s : r.segments)
            segments.push_back({{"origin_tick", s.originTick},
                                {"period_ticks", s.periodTicks},
                                {"from_tick", s.fromTick},
                                {"to_tick", s.toTick},
                                {"points", s.points},
                                {"residual_us", s.residualUs}});
        Json entry = {{"output", r.name}, {"basis", r.basis}, {"precise", r.precise}, {"segments", std::move(segments)}};
        if (r.hasTruth)
            entry["error_us"] = {{"p50", r.errorUs.p50}, {"max", r.errorUs.max}};
        reference.push_back(std::move(entry));
    }
    (*json)["reference"] = std::move(reference);

    Json events = Json::array();
    for (const FoundEvent& e : findings.events)
        events.push_back({{"kind", e.kind},
                          {"at_s", e.atS >= 0 ? Json(e.atS) : Json()},
                          {"frames", e.frames},
                          {"detail", e.detail},
                          {"test", e.test},
                          {"line", e.line},
                          {"from_s", e.fromS >= 0 ? Json(e.fromS) : Json()},
                          {"to_s", e.toS >= 0 ? Json(e.toS) : Json()}});
    (*json)["events"] = std::move(events);

    // What browser engines' rules meet: only in a log whose DXGI or compositor clock test ran.
    const EngineFindings& e = findings.engines;
    if (!e.waits.empty()) {
        Json waits = Json::array();
        for (const EngineWaits& w : e.waits)
            waits.push_back({{"method", w.method}, {"output", w.output}, {"test", w.test}, {"waits", w.waits},
                             {"instant", w.instant}, {"failed", w.failed}});
        (*json)["engines"] = {{"waits", std::move(waits)},
                              {"window_output", e.window},
                              {"compositor_clock_output", e.clockOutput.empty() ? Json() : Json(e.clockOutput)},
                              {"compositor_clock_judged", e.clockJudged}};
    }
}
