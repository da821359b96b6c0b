#include "common/config_keys.h"

#include "common/config_file.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QStringList>

#include <mosquitto.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace configkeys {

namespace {

constexpr double kAny = -1; // with lowest 0: no range

const QVector<Key> &table()
{
    static const QVector<Key> keys = {
        {"network_setting", "local_udp_listen_anchor_port", Kind::Port, 0, 65535, "0 (any free port)"},
        {"network_setting", "local_udp_listen_parameters_configuration_port", Kind::Port, 0, 65535,
         "0 (any free port)"},
        {"network_setting", "remote_udp_server_location_ip", Kind::Address, 0, kAny, "no address: reports are not sent"},
        {"network_setting", "remote_udp_server_location_port", Kind::Port, 1, 65535, "0: reports are not sent"},
        {"network_setting", "remote_udp_server_parameters_configuration_ip", Kind::Address, 0, kAny,
         "no address: replies are not sent"},
        {"network_setting", "remote_udp_server_parameters_configuration_port", Kind::Port, 1, 65535,
         "0: replies are not sent"},
        {"network_setting", "anchor_fifo_limit", Kind::Integer, 1, kFifoMaximumLimit, "100000"},
        {"network_setting", "anchor_max_age_ms", Kind::Integer, 0, 2147483647, "200"},
        {"network_setting", "lost_packet_keep_days", Kind::Integer, 0, 2147483647, "14"},
        {"network_setting", "heartbeat_server_ip", Kind::Address, 0, kAny, "the build's server"},
        {"network_setting", "heartbeat_server_port", Kind::Port, 1, 65535, "8888"},
        {"network_setting", "parameters_configuration_allow", Kind::AddressList, 0, kAny,
         "the configuration endpoint alone"},
        {"network_setting", "local_udp_listen_parameters_configuration_ip", Kind::Address, 0, kAny, "every address"},
        {"network_setting", "local_udp_listen_anchor_ip", Kind::Address, 0, kAny, "every address"},
        {"solver_unit_version", "solver_uint_available_version", Kind::Text, 0, kAny, ""},
        {"solver_unit_version", "solver_uint_current_version", Kind::Text, 0, kAny, ""},
        {"location_quality_info", "location_quality_info_indicator", Kind::Integer, 0, kAny, "0"},
        {"location_quality_info", "location_quality_info_horiz_accuracy", Kind::Real, 0, kAny, "0"},
        {"location_quality_info", "location_quality_info_vert_accuracy", Kind::Real, 0, kAny, "0"},
        {"location_quality_info", "location_quality_info_unit", Kind::Text, 0, kAny, ""},
        {"update_interval", "update_interval_min_updatetime", Kind::Integer, 0, kAny, "0"},
        {"update_interval", "update_interval_default_updatetime", Kind::Integer, 0, kAny, "0"},
        {"positioning_tech", "positioning_tech", Kind::Text, 0, kAny, ""},
        {"positioning_area", "positioning_area_id", Kind::Text, 0, kAny, ""},
        {"positioning_area", "positioning_area_name", Kind::Text, 0, kAny, ""},
        {"positioning_area", "positioning_area_address", Kind::Text, 0, kAny, ""},
        {"positioning_area", "positioning_area_description", Kind::Text, 0, kAny, ""},
        {"outdoor_coordinate_system", "outdoor_coordinate_system_name", Kind::Text, 0, kAny, ""},
        {"outdoor_coordinate_system", "outdoor_coordinate_system_description", Kind::Text, 0, kAny, ""},
        {"coordinate_reference", "coordinate_reference_x", Kind::Real, 0, kAny, "0"},
        {"coordinate_reference", "coordinate_reference_y", Kind::Real, 0, kAny, "0"},
        {"coordinate_reference", "coordinate_reference_z", Kind::Real, 0, kAny, "0"},
        {"coordinate_reference", "coordinate_reference_angle_x", Kind::Real, 0, kAny, "0"},
        {"coordinate_reference", "coordinate_reference_angle_z", Kind::Real, 0, kAny, "0"},
        {"area_quality_info", "area_quality_info_horiz_accuracy", Kind::Real, 0, kAny, "0"},
        {"area_quality_info", "area_quality_info_vert_accuracy", Kind::Real, 0, kAny, "0"},
        {"area_quality_info", "area_quality_info_unit", Kind::Text, 0, kAny, ""},
        {"algorithm_config", "s_enable", Kind::Word, 0, kAny, "off"},
        {"algorithm_config", "s_length", Kind::Integer, 2, 2147483647, "smoothing off"},
        {"algorithm_config", "s_start_half_length", Kind::Integer, 1, 2147483647, "smoothing off"},
        {"algorithm_config", "s_redundant", Kind::Integer, 0, 2147483647, "0"},
        {"algorithm_config", "active_time", Kind::Integer, 1, 2147483647, "10"},
        {"algorithm_config", "delay_window_1908", Kind::Integer, 0, kSequenceCount - 1, "the value modulo 256"},
        {"algorithm_config", "weighted_solve", Kind::Word, 0, kAny, "off"},
        {"algorithm_config", "tag_expiry_time", Kind::Integer, 1, 2147483647, "300"},
        {"algorithm_config", "tag_limit", Kind::Integer, 1, 2147483647, "10000"},
        {"algorithm_config", "nlos_rejection", Kind::Word, 0, kAny, "off"},
        {"algorithm_config", "range_noise", Kind::NoiseOrAuto, 0, kAny, "its default"},
        {"algorithm_config", "track_filter", Kind::Word, 0, kAny, "off"},
        {"algorithm_config", "track_accel", Kind::Real, 1e-9, 1e9, "1.0"},
        {"algorithm_config", "report_accuracy", Kind::Word, 0, kAny, "off"},
        {"algorithm_config", "anchor_offset_correction", Kind::Word, 0, kAny, "off"},
        {"tag_high", "tag1", Kind::Real, 0, kAny, "0"},
        {"pan_id", "PANID", Kind::Text, 0, kAny, ""},
        {"mqtt", "mqtt_enable", Kind::Word, 0, kAny, "off"},
        {"mqtt", "mqtt_host", Kind::Text, 0, kAny, ""},
        {"mqtt", "mqtt_port", Kind::Port, 1, 65535, "0 and runs without MQTT"},
        {"mqtt", "mqtt_client_id", Kind::Text, 0, kAny, ""},
        {"mqtt", "mqtt_topic_prefix", Kind::Text, 0, kAny, ""},
        {"mqtt", "mqtt_qos", Kind::Integer, 0, 1, "nothing: it runs without MQTT"},
        {"mqtt", "mqtt_username", Kind::Text, 0, kAny, ""},
        {"mqtt", "mqtt_password", Kind::Text, 0, kAny, ""},
        {"mqtt", "mqtt_cafile", Kind::Text, 0, kAny, ""},
        {"metrics", "metrics_listen", Kind::AddressPort, 0, kAny, "no metrics endpoint"},
    };
    return keys;
}

} // namespace

const QVector<Key> &knownKeys() { return table(); }

const Key *findKey(const QString &group, const QString &key)
{
    for (const Key &k : table()) {
        if (group == QLatin1String(k.group) && key == QLatin1String(k.key))
            return &k;
    }
    return nullptr;
}

bool isFreeGroup(const QString &group)
{
    return group == QLatin1String("anchor_coordinate") || group == QLatin1String("token_msg");
}

QStringList knownGroups()
{
    QStringList groups{QStringLiteral("token_msg"), QStringLiteral("anchor_coordinate")};
    for (const Key &k : table()) {
        if (!groups.contains(QLatin1String(k.group)))
            groups.append(QLatin1String(k.group));
    }
    return groups;
}

int editDistance(const QString &a, const QString &b)
{
    const int n = a.size(), m = b.size();
    std::vector<std::vector<int>> d(size_t(n) + 1, std::vector<int>(size_t(m) + 1));
    for (int i = 0; i <= n; ++i)
        d[size_t(i)][0] = i;
    for (int j = 0; j <= m; ++j)
        d[0][size_t(j)] = j;
    for (int i = 1; i <= n; ++i) {
        for (int j = 1; j <= m; ++j) {
            const int cost = a[i - 1].toLower() == b[j - 1].toLower() ? 0 : 1;
            int best = std::min({d[size_t(i - 1)][size_t(j)] + 1, d[size_t(i)][size_t(j - 1)] + 1,
                                 d[size_t(i - 1)][size_t(j - 1)] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                best = std::min(best, d[size_t(i - 2)][size_t(j - 2)] + 1);
            d[size_t(i)][size_t(j)] = best;
        }
    }
    return d[size_t(n)][size_t(m)];
}

QString nearestName(const QString &name, const QStringList &names)
{
    // A typo is a few edits; a third of the name at most, so that short names
    // do not suggest unrelated ones.
    const int most = std::max(1, std::min(3, int(name.size()) / 3));
    QString best;
    int bestDistance = most + 1;
    for (const QString &candidate : names) {
        const int d = editDistance(name, candidate);
        if (d < bestDistance) {
            bestDistance = d;
            best = candidate;
        }
    }
    return best;
}

int anchorFifoLimit(int asked) { return asked > 0 ? std::min(asked, kFifoMaximumLimit) : kFifoDefaultLimit; }

int anchorMaxAgeMs(const QString &text)
{
    bool ok = false;
    const int ms = text.toInt(&ok);
    return ok && ms >= 0 ? ms : kDefaultMaxAgeMs;
}

int lostPacketKeepDays(const QString &text)
{
    // Not 0 for an unreadable value: 0 keeps every file.
    bool ok = false;
    const int days = text.toInt(&ok);
    return ok && days >= 0 ? days : kDefaultKeepDays;
}

int tagExpirySeconds(int configured) { return configured > 0 ? configured : kDefaultTagExpirySeconds; }

int tagLimit(int configured) { return configured > 0 ? configured : kDefaultTagLimit; }

double rangeNoise(double configured) { return configured > 0 ? configured : kDefaultRangeNoise; }

double trackAccel(double configured) { return configured > 0 ? configured : kDefaultTrackAccel; }

int trackSilenceSeconds(int activeTime) { return activeTime > 0 ? activeTime : kDefaultTrackSilence; }

bool smoothSettingsUsable(int length, int startHalfLength) { return length >= 2 && startHalfLength >= 1; }

int delayWindow(int configured)
{
    if (configured >= 0 && configured < kSequenceCount)
        return configured;
    return (configured % kSequenceCount + kSequenceCount) % kSequenceCount;
}

QByteArray anchorIdBytes(const QString &key) { return QByteArray::fromHex(key.toLatin1()).left(6); }

bool anchorCoordinates(const QString &value, double xyz[3], int *badParts)
{
    const QStringList parts = value.split(QLatin1Char(','));
    if (parts.size() < 3)
        return false;
    int bad = 0;
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        const double v = parts[i].toDouble(&ok);
        if (!ok || !std::isfinite(v))
            ++bad;
        xyz[i] = ConfigFile::finiteNumber(parts[i]);
    }
    if (badParts)
        *badParts = bad;
    return true;
}

bool parseListen(const QString &text, QString *host, quint16 *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    QString address = text.left(colon);
    if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']'))) // [::1]:9464
        address = address.mid(1, address.size() - 2);
    else if (address.contains(QLatin1Char(':')))
        return false; // an IPv6 address needs its brackets
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    QHostAddress parsed;
    if (!ok || number > 65535 || !parsed.setAddress(address))
        return false;
    *host = parsed.toString();
    *port = quint16(number);
    return true;
}

quint16 mqttPort(const QString &text) { return text.toUShort(nullptr, 10); }

QString mqttProblem(const MqttSettings &s)
{
    if (s.host.isEmpty())
        return QStringLiteral("mqtt_host is empty");
    if (mqttPort(s.portText) == 0)
        return QStringLiteral("mqtt_port \"%1\" is not a port number 1..65535").arg(s.portText);
    if (!s.qosText.isEmpty() && s.qosText != QLatin1String("0") && s.qosText != QLatin1String("1"))
        return QStringLiteral("mqtt_qos \"%1\" is not 0 or 1").arg(s.qosText);
    if (!s.cafile.isEmpty() && !(QFileInfo(s.cafile).isFile() && QFileInfo(s.cafile).isReadable()))
        return QStringLiteral("mqtt_cafile \"%1\" is not a readable file").arg(s.cafile);
    const QByteArray prefix = s.prefix.toUtf8();
    const QByteArray status = prefix.isEmpty() ? QByteArray("status") : prefix + "/status";
    if (mosquitto_pub_topic_check(status.constData()) != MOSQ_ERR_SUCCESS)
        return QStringLiteral("mqtt_topic_prefix \"%1\" cannot begin a topic").arg(s.prefix);
    return QString();
}

} // namespace configkeys
