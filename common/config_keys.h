#ifndef CONFIG_KEYS_H
#define CONFIG_KEYS_H

#include <QByteArray>
#include <QString>
#include <QVector>

// Every group and key of config.ini that the programs read, and the rules by
// which a value turns into what they use. The readers call these rules and
// solver_plan --check applies the same ones, so the check cannot drift from
// the program.
namespace configkeys {

enum class Kind {
    Word,        // on only when exactly "true"
    Integer,     // base-10 whole number
    Real,        // plain decimal number
    NoiseOrAuto, // a positive number, or "auto" (absent: auto)
    Text,
    Address,     // IPv4 or IPv6 address; absent: the program's choice
    AddressList, // comma-separated addresses or ADDRESS/PREFIX
    Port,        // 0..65535
    AddressPort, // ADDRESS:PORT, [IPv6]:PORT
};

struct Key {
    const char *group;
    const char *key;
    Kind kind;
    // Accepted range of a number (Integer, Real, Port); lowest > highest: any.
    double lowest;
    double highest;
    // What the program does with an absent or unusable value, for the check's message.
    const char *fallback;
};

// The fixed keys, group by group.
const QVector<Key> &knownKeys();
const Key *findKey(const QString &group, const QString &key);
// Groups whose keys are free: anchor ids, debug switches.
bool isFreeGroup(const QString &group);
QStringList knownGroups();

// Damerau-Levenshtein distance (adjacent swaps count one), for suggestions.
int editDistance(const QString &a, const QString &b);
// The nearest of `names` to `name`, empty when none is close enough to be a typo.
QString nearestName(const QString &name, const QStringList &names);

// The rules. Each takes the value as the reader fetched it and returns what
// the program uses.
constexpr int kFifoDefaultLimit = 100000;
constexpr int kFifoMaximumLimit = 1000000;
int anchorFifoLimit(int asked); // below 1: the default; above the maximum: the maximum
// Records older than anchor_max_age_ms when taken are dropped: under overload
// a queue of fresh records is worth more than one of old ones.
constexpr int kDefaultMaxAgeMs = 200;
int anchorMaxAgeMs(const QString &text); // a whole number >= 0 (0: no limit), else the default
constexpr int kDefaultKeepDays = 14;
int lostPacketKeepDays(const QString &text); // a whole number >= 0, else the default
constexpr int kDefaultTagExpirySeconds = 300;
int tagExpirySeconds(int configured); // > 0, else the default
constexpr int kDefaultTagLimit = 10000;
int tagLimit(int configured); // > 0, else the default
constexpr double kDefaultRangeNoise = 0.1;
double rangeNoise(double configured); // > 0, else the default
constexpr double kDefaultTrackAccel = 1.0; // m/s^2, people walking
double trackAccel(double configured); // > 0, else the default
constexpr int kDefaultTrackSilence = 10;
int trackSilenceSeconds(int activeTime); // > 0, else the default
// The moving mean divides by these: a window of at least 2, a start check of at least 1.
bool smoothSettingsUsable(int length, int startHalfLength);
constexpr int kSequenceCount = 256;
// 0..255 as given; anything else is reduced modulo 256.
int delayWindow(int configured);
constexpr quint16 kDefaultHeartbeatPort = 8888;

// The six identifier bytes of an [anchor_coordinate] key: its hexadecimal
// digits, the first six bytes of a longer one; fewer than six: not an anchor.
QByteArray anchorIdBytes(const QString &key);
// "x,y,z": false when there are fewer than three parts; parts that are not
// numbers read as 0 and are counted in *badParts.
bool anchorCoordinates(const QString &value, double xyz[3], int *badParts = nullptr);

// metrics_listen: ADDRESS:PORT, [IPv6]:PORT.
bool parseListen(const QString &text, QString *host, quint16 *port);

// The MQTT settings the publisher checks before it connects.
struct MqttSettings {
    QString host;   // trimmed
    QString portText;
    QString qosText;
    QString prefix;
    QString cafile; // absolute, or empty
};
// The reason the publisher would run without MQTT, empty when the settings are
// usable (the host's name lookup aside, which depends on the moment).
QString mqttProblem(const MqttSettings &settings);
quint16 mqttPort(const QString &text);

} // namespace configkeys

#endif // CONFIG_KEYS_H
