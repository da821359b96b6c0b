#ifndef TAGS_H
#define TAGS_H

#include "common/config_keys.h"
#include "common/global_data.h"
#include "common/metrics.h"
#include "store/algorithm_basic_data.h"
#include "store/tagmessage.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QVector>

// The tag store: every tag heard within the expiry time, with its anchors and
// the records of its transmissions still being counted. Filing a record may
// complete an earlier transmission of its tag; the complete set comes back as
// solver input and `dataReady` says so.
//
// Memory is bounded whatever the order in which records arrive. With a delay
// window d, records are expected within d transmissions of their own (the
// release rule needs each one before the first record of the transmission d
// later), so at most 2d transmissions of a tag wait for the record that makes
// them due, and one that begins is at most d - 1 numbers behind the newest:
// 3d - 1 rows, and kSpareRows for records later than that (pendingRowLimit,
// 7 for the sample's window of 2).
//  - A transmission 2d or more numbers (and less than half the cycle) behind
//    one that begins has seen the record that made it due come and go, or
//    that record was lost: it is given up ("behind the delay window").
//  - When every row is taken (records counting down, random numbers, a flood
//    of late records), the transmission begun first is evicted.
// Both are counted (common/metrics.h) and logged at most once a minute with
// the tags concerned. A tag costs about 0.3 KiB plus 64 bytes (80 in
// solver_unit_hr) per anchor and row; rows are d + 1 at first, the limit at
// once when a record needs more. With 8 anchors and a window of 2: 1.8 KiB in
// normal order, 3.9 KiB at most (bench/bench_store).
//
// tagsFindTag, tagsAddNewTag, tagsFull, tagsRemoveExpired and tagsAddNewData
// hold g_timer_10s_mutex; the anchor operations take no lock. One caller at a
// time: the algorithm thread.
class Tags
{
public:
    // Milliseconds of a monotonic clock; replaceable so tests need not sleep.
    using ArrivalClock = qint64 (*)();

    // Records of a set must have arrived within this much of the first record
    // of the set (the one of the lowest anchor index). Anchors report one
    // transmission within milliseconds; a record seconds apart belongs to an
    // older use of the same sequence number, 256 transmissions earlier.
    static constexpr qint64 kArrivalSpreadLimitMs = 5000;
    // Two time differences are the least the solver can work with.
    static constexpr int kMinSetAnchors = 3;
    // Rows for records that come after their transmission was examined: they
    // are counted as before and given up once 2d numbers have passed them;
    // two such numbers at a time take no row of a transmission still due.
    static constexpr int kSpareRows = 2;

    // Bounds of the store when algorithm_config gives none. 10000 tags heard
    // by 8 anchors take about 18 MiB in normal order, 39 MiB at most; 5
    // minutes outlast any sleeping tag's reporting interval while a visitor's
    // badge or an invented identifier goes within minutes.
    static constexpr int kDefaultTagLimit = configkeys::kDefaultTagLimit;
    static constexpr int kDefaultTagExpirySeconds = configkeys::kDefaultTagExpirySeconds;

    // Reads delay_window_1908 from config.ini in the working directory.
    Tags();
    // For tests and benchmarks: no configuration file involved.
    explicit Tags(int delayWindow);
    Q_DISABLE_COPY(Tags)

    // Registers or files one whole record, the only entry of the per-record
    // processing: a new tag is added (below tagLimit, else the record is
    // dropped and counted), then a new anchor of the tag; the first record of
    // either only makes it known. Any other record goes to tagsAddNewData,
    // whose result this returns; valid only when dataReady is true afterwards.
    AlgorithmBasicData tagsFileRecord(const QByteArray &record);

    int tagsFindTag(const TAG_IMEI_t &tag);
    void tagsAddNewTag(const TAG_IMEI_t &tag, const TagMessage &message);
    // True when tagLimit tags are stored: a new tag is then not added.
    bool tagsFull();
    // Removes every tag not heard for tagExpiryMs, with its records and
    // bookkeeping, and returns their ids. Indices of the remaining tags may
    // change: callers keep none across records.
    QList<TAG_IMEI_t> tagsRemoveExpired();
    int tagsFindAnchor(const QByteArray &anchorId, int tagIndex);
    void tagsAddNewAnchor(int tagIndex, const QByteArray &anchorId);
    // Files one record of a known tag and anchor. Returns the set of the
    // transmission `delayWindow` numbers earlier when this record made it due
    // and it passed the checks; valid only when dataReady is true afterwards.
    AlgorithmBasicData tagsAddNewData(int tagIndex, int anchorIndex, const QByteArray &record);

    // The sequence number examined when `sequence` is first counted.
    static int dueSequence(int sequence, int delayWindow);
    // Transmissions a tag holds at once: the window, the spare rows, at most
    // one per sequence number.
    static int pendingRowLimit(int delayWindow);
    // A window outside 0..255 is reduced modulo 256 (the wrap of the sequence
    // number) with a warning.
    static int checkedDelayWindow(int configured);
    // nullptr restores the steady clock.
    static void setArrivalClock(ArrivalClock clock);
    // Now on the clock of the arrivals and of tag expiry.
    static qint64 tagsNowMs();

    QHash<quint64, int> tagIndexMap; // storeIdKey of the tag -> tag index
    QVector<TagMessage> tagMessages;
    bool dataReady = false;
    int delayWindow = 1;
    int tagNum = 0;
    int anchorTotal = 0; // written by the solver's constructor
    // Written by the algorithm thread's constructor (algorithm_config).
    int tagLimit = kDefaultTagLimit;
    qint64 tagExpiryMs = qint64(kDefaultTagExpirySeconds) * 1000;

    // Records given up, one counter per reason (also in common/metrics.h).
    quint64 droppedTagLimit = 0;     // new tag while tagLimit tags are stored
    quint64 droppedPendingEvicted = 0; // transmission evicted: all rows taken
    quint64 droppedBehindWindow = 0; // transmission the window passed unexamined

private:
    // Examines the transmission `due` of a tag: returns whether a set was
    // assembled into `set` and passed the spread test; the row is freed.
    bool examineDue(TagMessage &tag, int due, AlgorithmBasicData &set);
    // Frees the rows of transmissions 2d or more numbers behind `sequence`:
    // the records that would have made them due have come and gone.
    void giveUpBehindWindow(TagMessage &tag, int tagIndex, int sequence);
    // A row for the first counted record of `sequence`, evicting the oldest
    // transmission when every row is taken.
    int openRow(TagMessage &tag, int tagIndex, int sequence);
    void noteGivenUp(int tagIndex, int records, metrics::Counter reason);
    bool tagAdmitted();

    // Tag id by tag index, so a due set finds its tag without walking the map.
    QVector<TAG_IMEI_t> tagIds;

    // Rate limits of the drop lines, on the store's clock; 0: never logged.
    qint64 tagLimitLoggedMs = 0;
    qint64 givenUpLoggedMs = 0;
    QList<TAG_IMEI_t> givenUpSinceLine; // named in the next line, at most a few
};

#endif // TAGS_H
