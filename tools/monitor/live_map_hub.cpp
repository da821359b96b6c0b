#include "tools/monitor/live_map_hub.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

qint64 wallUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// Server-sent event framing: the data is one line of JSON.
std::string sseEvent(const char *name, const std::string &json)
{
    return std::string("event: ") + name + "\ndata: " + json + "\n\n";
}

// Fixed-point text with `decimals` (1 or 2) digits after the point, never cut
// short: a cut number made every snapshot invalid JSON. The monitor refuses
// coordinates beyond 1000 km, so the short buffer serves all but absurd values;
// those get a buffer of their size (up to some 310 characters). JSON has no
// NaN or infinity: they read as 0.
void appendNumber(std::string *out, int decimals, double value)
{
    if (!std::isfinite(value))
        value = 0;
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%.*f", decimals, value);
    if (n < int(sizeof text)) {
        out->append(text, size_t(n));
        return;
    }
    std::string wide(size_t(n) + 1, '\0');
    std::snprintf(&wide[0], wide.size(), "%.*f", decimals, value);
    out->append(wide, 0, size_t(n));
}

// The ids of forgotten tags, for the page to drop them.
std::string forgetJson(qint64 nowUs, const QVector<QString> &tags)
{
    std::string json = "{\"t\":" + std::to_string(nowUs / 1000) + ",\"tags\":[";
    for (int i = 0; i < tags.size(); ++i)
        json.append(i > 0 ? ",\"" : "\"").append(tags[i].toStdString()).push_back('"');
    return json + "]}";
}

// "TAG",x,y,arrival ms,rate after an opening bracket: the fields the page
// reads by position; the caller adds the rest and the closing bracket.
void appendRow(std::string *out, const QString &tag, double x, double y, qint64 arrivalUs, double rate,
               const double *accuracy = nullptr)
{
    out->append("[\"").append(tag.toStdString()).append("\",");
    appendNumber(out, 2, x);
    out->push_back(',');
    appendNumber(out, 2, y);
    out->push_back(',');
    out->append(std::to_string(arrivalUs / 1000)).push_back(',');
    appendNumber(out, 1, rate);
    if (accuracy) {
        out->push_back(',');
        appendNumber(out, 2, *accuracy);
    }
}

std::string siteJson(const QVector<SiteAnchor> &anchors, bool accuracy)
{
    QJsonArray list;
    for (const SiteAnchor &a : anchors) {
        list.append(QJsonObject{{QStringLiteral("id"), QString::fromLatin1(a.id.toHex().toUpper())},
                                {QStringLiteral("x"), a.x},
                                {QStringLiteral("y"), a.y}});
    }
    QJsonObject site{{QStringLiteral("anchors"), list}, {QStringLiteral("trail"), LiveMapHub::kTrailPoints}};
    if (accuracy)
        site.insert(QStringLiteral("accuracy"), true);
    return QJsonDocument(site).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace

LiveMapHub::LiveMapHub(const QVector<SiteAnchor> &anchors, bool accuracyShown)
    // A dropped stream is retried by the browser after two seconds.
    : siteEvent("retry: 2000\n" + sseEvent("site", siteJson(anchors, accuracyShown))), accuracy(accuracyShown)
{
}

void LiveMapHub::anchors(const std::string &json)
{
    std::lock_guard<std::mutex> lock(mutex);
    anchorsEvent = sseEvent("anchors", json);
    anchorsPending = true;
}

void LiveMapHub::report(const QString &tag, double x, double y, qint64 arrivalUs, double horizAccuracy)
{
    if (!std::isfinite(x) || !std::isfinite(y))
        return;
    std::lock_guard<std::mutex> lock(mutex);
    Track &t = tracks[tag];
    t.x = x;
    t.y = y;
    t.arrivalUs = arrivalUs;
    t.accuracy = std::isfinite(horizAccuracy) ? horizAccuracy : -1;
    ++t.reports;
    if (!t.changed) {
        t.changed = true;
        changed.append(tag);
    }
}

void LiveMapHub::publish(qint64 nowUs)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (lastRateUs == 0)
            lastRateUs = nowUs;
        if (nowUs - lastRateUs >= kRateWindowMs * 1000LL) {
            const double seconds = (nowUs - lastRateUs) / 1e6;
            for (auto it = tracks.begin(); it != tracks.end(); ++it) {
                Track &t = it.value();
                // Reports over the time they span, rather than over the window:
                // a 10 Hz tag then reads 10.0, not 9 or 11 as reports fall
                // either side of the window's edges.
                const qint64 n = t.reports - t.reportsAtRate;
                const double rate = n == 0 ? 0
                                    : t.arrivalAtRateUs > 0 && t.arrivalUs > t.arrivalAtRateUs
                                        ? n * 1e6 / double(t.arrivalUs - t.arrivalAtRateUs)
                                        : n / seconds;
                t.reportsAtRate = t.reports;
                t.arrivalAtRateUs = t.arrivalUs;
                // A tag that fell silent is sent once more, so its rate drops to 0 on the page.
                if (rate != t.rate && !t.changed) {
                    t.changed = true;
                    changed.append(it.key());
                }
                t.rate = rate;
            }
            lastRateUs = nowUs;
        }
        if (changed.isEmpty() && forgotten.isEmpty() && !anchorsPending)
            return;
        // Forgotten first: a tag forgotten and heard again within one period stays.
        std::string text = forgotten.isEmpty() ? std::string() : sseEvent("forget", forgetJson(nowUs, forgotten));
        if (anchorsPending)
            text += anchorsEvent;
        anchorsPending = false;
        forgotten.clear();
        std::string json = "{\"t\":" + std::to_string(nowUs / 1000) + ",\"tags\":[";
        json.reserve(json.size() + size_t(changed.size()) * 48);
        for (int i = 0; i < changed.size(); ++i) {
            Track &t = tracks[changed[i]];
            t.changed = false;
            if (t.trail.size() >= 2 * kTrailPoints)
                t.trail.remove(0, 2);
            t.trail << t.x << t.y;
            if (i > 0)
                json.push_back(',');
            appendRow(&json, changed[i], t.x, t.y, t.arrivalUs, t.rate, accuracy ? &t.accuracy : nullptr);
            json.push_back(']');
        }
        json += "]}";
        if (!changed.isEmpty())
            text += sseEvent("update", json);
        changed.clear();
        batches.push_back({++sequence, std::make_shared<const std::string>(std::move(text))});
        while (batches.size() > size_t(kKeptBatches))
            batches.pop_front();
    }
    published.notify_all();
}

void LiveMapHub::forget(const QVector<QString> &tags)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const QString &tag : tags) {
        const auto it = tracks.constFind(tag);
        if (it == tracks.constEnd())
            continue;
        if (it->changed)
            changed.removeOne(tag);
        tracks.erase(it);
        forgotten.append(tag);
    }
}

void LiveMapHub::close()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
    }
    published.notify_all();
}

std::string LiveMapHub::snapshotLocked(qint64 nowUs) const
{
    std::string json = "{\"t\":" + std::to_string(nowUs / 1000) + ",\"tags\":[";
    bool first = true;
    for (auto it = tracks.begin(); it != tracks.end(); ++it) {
        const Track &t = it.value();
        if (!first)
            json.push_back(',');
        first = false;
        appendRow(&json, it.key(), t.x, t.y, t.arrivalUs, t.rate, accuracy ? &t.accuracy : nullptr);
        json += ",[";
        for (int i = 0; i < t.trail.size(); ++i) {
            if (i > 0)
                json.push_back(',');
            appendNumber(&json, 2, t.trail[i]);
        }
        json += "]]";
    }
    json += "]}";
    return sseEvent("snapshot", json);
}

bool LiveMapHub::nextEvents(Cursor *cursor, int timeoutMs, std::string *out)
{
    std::vector<std::shared_ptr<const std::string>> due;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (closed)
            return false;
        if (!cursor->started) {
            cursor->started = true;
            cursor->sent = sequence;
            *out += siteEvent;
            *out += anchorsEvent;
            *out += snapshotLocked(wallUs());
            return true;
        }
        published.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return closed || sequence > cursor->sent; });
        if (closed)
            return false;
        if (sequence == cursor->sent)
            return true;
        if (batches.empty() || batches.front().sequence > cursor->sent + 1) {
            // Fell behind further than the kept batches: start over from the whole picture.
            cursor->sent = sequence;
            *out += snapshotLocked(wallUs());
            return true;
        }
        for (const Batch &b : batches) {
            if (b.sequence > cursor->sent)
                due.push_back(b.text);
        }
        cursor->sent = sequence;
    }
    for (const auto &text : due)
        *out += *text;
    return true;
}
