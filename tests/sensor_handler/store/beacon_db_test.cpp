#include "store/beacon_db.h"

#include <gtest/gtest.h>
#include <cstdlib>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <limits.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "config/configuration.h"
#include "gw_db.h"
#include "gw_pacing.h"
#include "stop/stop_flags.h"
#include "sandbox.h"
#include "stdout_capture.h"
#include "store/db_reader.h"

namespace sensor_handler {
namespace {

constexpr const char *db_path = "/tmp/beacon.db";
const std::string golden_dir = std::string(GW_SOURCE_DIR) + "/tests/data/db/";
// Also what an older release's table becomes once PAYLOAD3 is added.
constexpr const char *new_schema =
    "CREATE TABLE BLE(DT INT, PAYLOAD varchar NULL, PAYLOAD2 varchar NULL, "
    "DBID INTEGER PRIMARY KEY AUTOINCREMENT, PAYLOAD3 varchar NULL)";

class BeaconDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    close_beacon_db();
    ASSERT_TRUE(gwtest::reset_sandbox());
    std::snprintf(service_config.db_path, sizeof service_config.db_path, "%s", db_path);
    service_config.sensor_number = 1;
    highest_selected_dbid = 0;
    last_published_dbid = 0;
    free_batch_texts();
  }
  void TearDown() override {
    close_beacon_db();
    clear_restart_request();
    gw::clear_pacing_cancelled();
  }

  // Opens without the echo of its lines in the test output.
  void open_quietly() {
    gwtest::StdoutCapture capture;
    ASSERT_EQ(open_beacon_db(), 0) << capture.text();
  }

  static std::string open_expecting_failure() {
    gwtest::StdoutCapture capture;
    EXPECT_EQ(open_beacon_db(), 1);
    return capture.text();
  }

  static int select(std::int32_t limit) {
    return select_batch(beacon_db, "BLE", &highest_selected_dbid, limit, 1);
  }

  static void insert_raw(const char *payload, std::uint32_t dt = 1700000000) {
    ASSERT_EQ(insert_beacon_row(dt, payload, nullptr), SQLITE_DONE);
  }
  static void insert_smoothed(const char *payload2, std::uint32_t dt = 1700000000) {
    ASSERT_EQ(insert_beacon_row(dt, nullptr, payload2), SQLITE_DONE);
  }
};

// Descriptors of this process that point at the database, the WAL or the
// shared-memory file, with whether each is close-on-exec.
std::vector<std::pair<std::string, bool>> database_descriptors() {
  std::vector<std::pair<std::string, bool>> found;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return found;
  while (dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    char target[PATH_MAX] = {};
    if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
    if (std::strncmp(target, db_path, std::strlen(db_path)) != 0) continue;
    int flags = fcntl(std::atoi(entry->d_name), F_GETFD);
    found.emplace_back(target, flags >= 0 && (flags & FD_CLOEXEC) != 0);
  }
  closedir(dir);
  return found;
}

TEST_F(BeaconDbTest, OpensInWalModeWithTheBleSchemaAndDbidsNeverRepeat) {
  open_quietly();
  insert_raw("0201061AFF4C00");
  ASSERT_EQ(close_beacon_db(), SQLITE_OK);
  EXPECT_FALSE(beacon_db_open());

  open_quietly();
  insert_smoothed("AABBCCDDEEFF");
  EXPECT_TRUE(gwtest::file_exists(std::string(db_path) + "-wal"));
  EXPECT_TRUE(gwtest::file_exists(std::string(db_path) + "-shm"));

  gwtest::DbReader reader(db_path);
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(reader.text("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(reader.text("SELECT sql FROM sqlite_master WHERE name='BLE'"),
            new_schema);
  auto rows = reader.rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].dbid, 1);
  EXPECT_EQ(rows[1].dbid, 2);

  // AUTOINCREMENT: an emptied table never hands out a DBID again.
  ASSERT_EQ(clear_beacon_table(1), 0);
  insert_raw("AFTER");
  rows = reader.rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].dbid, 3);

  // A burst (here a VACUUM of some 3 MiB) grows the WAL; once checkpointed
  // it is cut back at the next write instead of keeping its size in RAM.
  const std::string row(250, 'B');
  for (int i = 0; i < 12000; ++i) insert_raw(row.c_str());
  ASSERT_EQ(beacon_db.vacuum(), 0);
  insert_raw("AFTER THE BURST");
  struct stat wal {};
  ASSERT_EQ(stat((std::string(db_path) + "-wal").c_str(), &wal), 0);
  EXPECT_LE(wal.st_size, 1024 * 1024 + 64 * 1024);
}

TEST_F(BeaconDbTest, DescriptorsAreCloseOnExecAndAllReleasedByTheClose) {
  open_quietly();
  insert_raw("0201061AFF4C00");
  auto open_files = database_descriptors();
  // The database, its WAL and its shared-memory file.
  EXPECT_GE(open_files.size(), 3u);
  for (const auto &[target, cloexec] : open_files) EXPECT_TRUE(cloexec) << target;

  // The close finalizes the prepared insert itself, so it succeeds and lets
  // go of every file even when nobody finalized the statement before.
  ASSERT_TRUE(beacon_db.has_insert_statement());
  EXPECT_EQ(close_beacon_db(), SQLITE_OK);
  EXPECT_TRUE(database_descriptors().empty());
  EXPECT_EQ(close_beacon_db(), SQLITE_OK);  // nothing left to close
}

TEST_F(BeaconDbTest, StoresEitherPayloadAndTheTimeAsUnsigned32Bits) {
  open_quietly();
  insert_raw("RAWTEXT", 0x80000001u);
  insert_smoothed("SMOOTHED", 0xFFFFFFFFu);
  ASSERT_EQ(insert_beacon_row(0, nullptr, nullptr), SQLITE_DONE);

  gwtest::DbReader reader(db_path);
  auto rows = reader.rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].dt, 2147483649);
  EXPECT_EQ(rows[0].dt_type, "integer");
  EXPECT_EQ(rows[0].payload, "RAWTEXT");
  EXPECT_FALSE(rows[0].payload2.has_value());
  EXPECT_EQ(rows[1].dt, 4294967295);
  EXPECT_FALSE(rows[1].payload.has_value());
  EXPECT_EQ(rows[1].payload2, "SMOOTHED");
  EXPECT_FALSE(rows[2].payload.has_value());
  EXPECT_FALSE(rows[2].payload2.has_value());
}

TEST_F(BeaconDbTest, InsertWithoutAStatementIsRefusedWithoutTouchingTheFile) {
  gwtest::StdoutCapture capture;
  EXPECT_EQ(insert_beacon_row(1, "A", nullptr), beacon_db_unavailable);
  EXPECT_FALSE(gwtest::file_exists(db_path));

  ASSERT_EQ(open_beacon_db(), 0);
  EXPECT_EQ(finalize_insert_statement(), SQLITE_OK);
  EXPECT_EQ(finalize_insert_statement(), SQLITE_OK);  // already gone
  EXPECT_EQ(insert_beacon_row(1, "A", nullptr), beacon_db_unavailable);
  EXPECT_NE(beacon_db_unavailable, SQLITE_DONE);
  EXPECT_TRUE(beacon_db_open());
  EXPECT_EQ(capture.text(), "");
  gwtest::DbReader reader(db_path);
  EXPECT_TRUE(reader.rows().empty());
}

TEST_F(BeaconDbTest, FailedStepResetsSoTheNextInsertStoresOnlyItsOwnRow) {
  open_quietly();
  gwtest::DbReader other(db_path);
  ASSERT_EQ(other.exec("BEGIN IMMEDIATE"), SQLITE_OK);  // another writer holds the lock
  {
    std::string first = "FIRST";
    EXPECT_EQ(insert_beacon_row(10, first.c_str(), nullptr), SQLITE_BUSY);
    first.assign("XXXXX");  // the failed row's text is gone now
  }
  ASSERT_EQ(other.exec("COMMIT"), SQLITE_OK);
  EXPECT_EQ(insert_beacon_row(20, nullptr, "SECOND"), SQLITE_DONE);
  EXPECT_EQ(insert_beacon_row(30, "THIRD", nullptr), SQLITE_DONE);

  auto rows = other.rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].dt, 20);
  EXPECT_FALSE(rows[0].payload.has_value());
  EXPECT_EQ(rows[0].payload2, "SECOND");
  EXPECT_EQ(rows[1].dt, 30);
  EXPECT_EQ(rows[1].payload, "THIRD");
}

TEST_F(BeaconDbTest, OpenFailuresPrintTheirLinesAndLeaveNothingBehind) {
  std::snprintf(service_config.db_path, sizeof service_config.db_path, "%s",
                "/tmp/missing/beacon.db");
  EXPECT_EQ(open_expecting_failure(),
            "ZENTIB_ERROR : SENSOR1 : Cannot open the BLE database\n\r"
            "ZENTIB_ERROR : SENSOR1 : Status = 14\n\r");
  EXPECT_EQ(insert_beacon_row(1, "A", nullptr), beacon_db_unavailable);
  EXPECT_EQ(close_beacon_db(), SQLITE_OK);
  EXPECT_FALSE(beacon_db_open());

  // An empty path would be a temporary database that vanishes at its close.
  service_config.db_path[0] = '\0';
  EXPECT_EQ(open_expecting_failure(),
            "ZENTIB_ERROR : SENSOR1 : Cannot open the BLE database\n\r"
            "ZENTIB_ERROR : SENSOR1 : Status = 14\n\r");
  EXPECT_FALSE(beacon_db_open());

  // A BLE table of another shape leaves the insert unprepared.
  std::snprintf(service_config.db_path, sizeof service_config.db_path, "%s", db_path);
  {
    gwtest::DbReader creator(db_path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ASSERT_EQ(creator.exec("CREATE TABLE BLE(DT INT, PAYLOAD varchar, DBID INTEGER)"), SQLITE_OK);
  }
  EXPECT_EQ(open_expecting_failure(),
            "ZENTIB_ERROR : SENSOR1 : Cannot prepare BLE statement\n\r"
            "ZENTIB_ERROR : SENSOR1 : Status = 1\n\r");
  EXPECT_FALSE(beacon_db.has_insert_statement());
}

// Paths another user of /tmp planted before the gateway opened its store:
// none is followed, trusted or written through; each is set aside with its
// line and the store starts afresh, readable by its owner alone.
TEST_F(BeaconDbTest, FilesAnotherUserPlantedAreSetAsideNeverOpened) {
  const std::string roots = "/tmp/roots_file";
  struct Case {
    const char *suffix, *plant;
  } cases[] = {
      {"", "ln -s /tmp/roots_file /tmp/beacon.db"},
      {"", "echo rows of another user > /tmp/beacon.db"},
      {"", "mkdir /tmp/beacon.db"},
      {"", "mkfifo /tmp/beacon.db"},
      {"-wal", "ln -s /tmp/roots_file /tmp/beacon.db-wal"},
      {"-shm", "ln /tmp/roots_file /tmp/beacon.db-shm"},
      {"-journal", "ln -s /tmp/roots_file /tmp/beacon.db-journal"},
      {nullptr, nullptr},  // the gateway's own file of an older release, 0644
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.plant ? c.plant : "own file");
    close_beacon_db();
    ASSERT_EQ(std::system("rm -rf /tmp/beacon.db*"), 0);
    ASSERT_TRUE(gwtest::write_file(roots, "root's\n"));
    ASSERT_EQ(chmod(roots.c_str(), 0666), 0);  // lets the other user link to it
    if (c.plant != nullptr) {
      const std::string as_nobody =
          std::string("/usr/bin/setpriv --reuid 65534 --regid 65534 --clear-groups sh -c '") + c.plant + "'";
      ASSERT_EQ(std::system(as_nobody.c_str()), 0);
    } else {
      ASSERT_TRUE(gwtest::write_file(db_path, ""));
      ASSERT_EQ(chmod(db_path, 0644), 0);
    }
    std::string output;
    {
      gwtest::StdoutCapture capture;
      EXPECT_EQ(open_beacon_db(), 0);
      output = capture.text();
    }
    if (c.plant != nullptr) {
      const std::string name = std::string(db_path) + c.suffix;
      EXPECT_EQ(output, "ZENTIB_ERROR : SENSOR1 : " + name + " was not made by the gateway, set aside as " +
                            name + ".not-ours\n\r");
      struct stat aside{};
      EXPECT_EQ(lstat((name + ".not-ours").c_str(), &aside), 0);
    } else {
      EXPECT_EQ(output, "");
    }
    insert_raw("AA");
    EXPECT_EQ(gwtest::DbReader(db_path).rows().size(), 1u);
    EXPECT_EQ(gwtest::read_file(roots), "root's\n");
    for (const char *suffix : {"", "-wal", "-shm"}) {
      struct stat file{};
      ASSERT_EQ(lstat((std::string(db_path) + suffix).c_str(), &file), 0) << suffix;
      EXPECT_TRUE(S_ISREG(file.st_mode) && file.st_uid == geteuid() && file.st_nlink == 1) << suffix;
      EXPECT_EQ(file.st_mode & 0777, 0600u) << suffix;
    }
  }
}

TEST_F(BeaconDbTest, CorruptFileFailsAtTheJournalMode) {
  std::ifstream golden(golden_dir + "not_a_database.db", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(golden)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 4096u);
  ASSERT_TRUE(gwtest::write_file(db_path, bytes));
  service_config.sensor_number = 7;

  EXPECT_EQ(open_expecting_failure(),
            "ZENTIB_ERROR : SENSOR7 : Cannot set pragma mode file is not a database\n");
  EXPECT_TRUE(beacon_db_open());  // the caller closes, as after every failed open
  EXPECT_EQ(insert_beacon_row(1, "A", nullptr), beacon_db_unavailable);
  EXPECT_EQ(close_beacon_db(), SQLITE_OK);
  EXPECT_FALSE(beacon_db_open());
}

TEST_F(BeaconDbTest, SelectCollectsPayloadsInDbidOrderAfterTheCursor) {
  open_quietly();
  {
    gwtest::StdoutCapture capture;
    EXPECT_EQ(select(10), 1);  // empty table
    EXPECT_EQ(capture.text(), "");
  }
  EXPECT_STREQ(raw_batch_text.c_str(), "");
  EXPECT_EQ(rows_selected, 0);
  EXPECT_EQ(highest_selected_dbid.load(), 0u);

  insert_raw("R1");
  insert_smoothed("S1");
  insert_raw("R2");
  insert_raw("R3");
  ASSERT_EQ(insert_beacon_row(5, nullptr, nullptr), SQLITE_DONE);  // DBID 5, no payload

  EXPECT_EQ(select(10), 0);
  EXPECT_STREQ(raw_batch_text.c_str(), "R1;R2;R3;");
  EXPECT_STREQ(filtered_batch_text.c_str(), "S1;");
  EXPECT_EQ(raw_packet_count, 3);
  EXPECT_EQ(filtered_packet_count, 1);
  EXPECT_EQ(rows_selected, 5);
  EXPECT_EQ(highest_selected_dbid.load(), 4u);  // the row without payload does not move it

  // The payload-less row is seen again, and alone it makes no batch.
  EXPECT_EQ(select(10), 1);
  EXPECT_EQ(rows_selected, 1);
  EXPECT_EQ(raw_packet_count, 0);
  EXPECT_STREQ(raw_batch_text.c_str(), "");
  EXPECT_STREQ(filtered_batch_text.c_str(), "");
}

// An older release's file (golden) gains PAYLOAD3 once and keeps its rows
// with it NULL; a batch gathers the three kinds in DBID order.
TEST_F(BeaconDbTest, OlderFileGainsPayload3OnceAndBatchesGatherAllThreeKinds) {
  std::ifstream golden(golden_dir + "older_release.db", std::ios::binary);
  ASSERT_TRUE(gwtest::write_file(db_path, std::string(std::istreambuf_iterator<char>(golden),
                                                      std::istreambuf_iterator<char>())));
  open_quietly();
  ASSERT_EQ(close_beacon_db(), SQLITE_OK);
  open_quietly();
  ASSERT_EQ(insert_beacon_row(1700000003, nullptr, nullptr, "E1"), SQLITE_DONE);
  insert_raw("R3");
  gwtest::DbReader reader(db_path);
  EXPECT_EQ(reader.text("SELECT sql FROM sqlite_master WHERE name='BLE'"), new_schema);
  EXPECT_EQ(reader.text("SELECT group_concat(DBID) FROM BLE WHERE PAYLOAD3 IS NULL"), "1,2,3,5");

  EXPECT_EQ(select(10), 0);
  EXPECT_STREQ(raw_batch_text.c_str(), "R1;R2;R3;");
  EXPECT_STREQ(filtered_batch_text.c_str(), "S1;");
  EXPECT_STREQ(ext_batch_text.c_str(), "E1;");
  EXPECT_EQ(ext_packet_count, 1);
  EXPECT_EQ(highest_selected_dbid.load(), 5u);
}

TEST_F(BeaconDbTest, SelectLimitSplitsBatchesZeroSelectsNothingNegativeAll) {
  open_quietly();
  for (const char *payload : {"P1", "P2", "P3", "P4", "P5"}) insert_raw(payload);

  EXPECT_EQ(select(0), 1);
  EXPECT_EQ(rows_selected, 0);
  EXPECT_EQ(highest_selected_dbid.load(), 0u);
  // A limit setting of 2^31 or more reads back negative: no limit.
  EXPECT_EQ(select(INT32_MIN), 0);
  EXPECT_STREQ(raw_batch_text.c_str(), "P1;P2;P3;P4;P5;");
  highest_selected_dbid = 0;

  EXPECT_EQ(select(2), 0);
  EXPECT_STREQ(raw_batch_text.c_str(), "P1;P2;");
  EXPECT_EQ(highest_selected_dbid.load(), 2u);
  EXPECT_EQ(select(2), 0);
  EXPECT_STREQ(raw_batch_text.c_str(), "P3;P4;");
  EXPECT_EQ(select(2), 0);
  EXPECT_STREQ(raw_batch_text.c_str(), "P5;");
  EXPECT_EQ(raw_packet_count, 1);
  EXPECT_EQ(select(2), 1);
  EXPECT_EQ(highest_selected_dbid.load(), 5u);

  // A message's room, for the texts, the counts' digits and, with extended
  // rows, their keys (10 here): the select stops before the row that would
  // pass it, and a row that passes it alone is passed over.
  highest_selected_dbid = 0;
  for (const char *ext : {"E6", "E7"}) ASSERT_EQ(insert_beacon_row(1, nullptr, nullptr, ext), 101);
  for (const auto &[room, texts] : std::vector<std::pair<std::size_t, std::string>>{
           {8, "P1;P2;"}, {7, "P3;"}, {4, ""}, {18, "P5;"}, {16, "E6;"}, {15, ""}}) {
    EXPECT_EQ(select_batch(beacon_db, "BLE", &highest_selected_dbid, -1, 1, room, 10),
              texts.empty());
    EXPECT_EQ(std::string(raw_batch_text.c_str()) + ext_batch_text.c_str(), texts);
  }
  EXPECT_EQ(highest_selected_dbid.load(), 7u);
}

TEST_F(BeaconDbTest, SelectFailuresPrintTheirLineWithoutMovingTheCursor) {
  {
    gwtest::StdoutCapture capture;
    EXPECT_EQ(select(10), 1);  // never opened
    EXPECT_EQ(capture.text(),
              "ZENTIB_ERROR : SENSOR1 : MQTT - Cannot Select values from BLE Table\n\r");
  }
  EXPECT_STREQ(raw_batch_text.c_str(), "");
  EXPECT_STREQ(filtered_batch_text.c_str(), "");

  open_quietly();
  insert_raw("R1");
  gwtest::StdoutCapture capture;
  EXPECT_EQ(select_batch(beacon_db, "NOPE", &highest_selected_dbid, 10, 3), 1);
  EXPECT_EQ(capture.text(),
            "ZENTIB_ERROR : SENSOR3 : MQTT - Cannot Select values from NOPE Table\n\r");
  EXPECT_EQ(highest_selected_dbid.load(), 0u);
}

TEST_F(BeaconDbTest, DbidsBeyond32BitsSelectAndDeleteExactly) {
  open_quietly();
  {
    gwtest::DbReader other(db_path);
    ASSERT_EQ(other.exec("INSERT INTO BLE(DT,PAYLOAD,DBID) VALUES (1, 'OLD', 2999999999);"
                         "INSERT INTO BLE(DT,PAYLOAD,DBID) VALUES (2, 'BIG', 4294967297)"),
              SQLITE_OK);
  }
  insert_raw("NEXT");  // AUTOINCREMENT continues after the highest DBID
  highest_selected_dbid = 2999999999u;

  EXPECT_EQ(select(10), 0);
  EXPECT_STREQ(raw_batch_text.c_str(), "BIG;NEXT;");
  EXPECT_EQ(highest_selected_dbid.load(), 4294967298u);

  EXPECT_EQ(delete_published_beacon_rows(4294967297u, 1), 0);
  gwtest::DbReader reader(db_path);
  auto rows = reader.rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].payload, "NEXT");
  EXPECT_EQ(rows[0].dbid, 4294967298);
}

TEST_F(BeaconDbTest, DeletesTrimUpToTheDbidAndRefuseAClosedDatabase) {
  open_quietly();
  for (const char *payload : {"P1", "P2", "P3"}) insert_raw(payload);
  EXPECT_EQ(delete_published_beacon_rows(0, 1), 0);
  gwtest::DbReader reader(db_path);
  EXPECT_EQ(reader.rows().size(), 3u);
  EXPECT_EQ(delete_published_beacon_rows(2, 1), 0);
  auto rows = reader.rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].dbid, 3);

  ASSERT_EQ(close_beacon_db(), SQLITE_OK);
  gwtest::StdoutCapture capture;
  EXPECT_EQ(delete_published_beacon_rows(5, 1), 1);
  EXPECT_EQ(clear_beacon_table(2), 1);
  EXPECT_EQ(gw::delete_published_rows(nullptr, "BLE", 1, 4), 1);
  EXPECT_EQ(capture.text(),
            "ZENTIB_ERROR : SENSOR1 : Cannot Delete values from BLE Table\n\r"
            "ZENTIB_ERROR : SENSOR2 : Cannot Delete values from BLE Table\n\r"
            "ZENTIB_ERROR : SENSOR4 : Cannot Delete values from BLE Table\n\r");
}

TEST_F(BeaconDbTest, ReplacedFileRestartsBothCursors) {
  open_quietly();
  for (const char *payload : {"P1", "P2", "P3"}) insert_raw(payload);
  ASSERT_EQ(select(10), 0);
  EXPECT_TRUE(beacon_db.mark_batch_published());
  EXPECT_FALSE(beacon_db.mark_batch_published());  // nothing new selected
  EXPECT_EQ(last_published_dbid.load(), 3u);

  // Reopening the same file keeps them: its sequence is not below them.
  ASSERT_EQ(close_beacon_db(), SQLITE_OK);
  open_quietly();
  EXPECT_EQ(highest_selected_dbid.load(), 3u);
  EXPECT_EQ(last_published_dbid.load(), 3u);

  ASSERT_EQ(close_beacon_db(), SQLITE_OK);
  for (const char *suffix : {"", "-wal", "-shm"}) unlink((std::string(db_path) + suffix).c_str());
  open_quietly();
  EXPECT_EQ(highest_selected_dbid.load(), 0u);
  EXPECT_EQ(last_published_dbid.load(), 0u);

  insert_raw("NEW1");
  insert_raw("NEW2");
  EXPECT_EQ(delete_published_beacon_rows(last_published_dbid.load(), 1), 0);
  EXPECT_EQ(select(10), 0);
  EXPECT_STREQ(raw_batch_text.c_str(), "NEW1;NEW2;");
}

TEST_F(BeaconDbTest, OverlongBatchEndsAtTheLastRowThatFits) {
  open_quietly();
  const std::string big(3u * 1024u * 1024u, 'A');
  const std::string huge(batch_text_limit, 'B');  // with its ";" it fits no batch
  for (int i = 0; i < 3; ++i) insert_raw(big.c_str());
  insert_raw(huge.c_str());
  insert_raw("TAIL");

  {
    gwtest::StdoutCapture capture;
    EXPECT_EQ(select(10), 0);
    EXPECT_EQ(capture.text(),
              "ZENTIB_ERROR : SENSOR1 : Batch text cannot grow, batch cut at 2 rows\n\r");
  }
  EXPECT_EQ(raw_packet_count, 2);
  EXPECT_EQ(raw_batch_text.length(), 2 * (big.size() + 1));
  EXPECT_EQ(highest_selected_dbid.load(), 2u);

  gwtest::StdoutCapture capture;
  EXPECT_EQ(select(10), 0);
  EXPECT_EQ(raw_packet_count, 1);
  EXPECT_EQ(highest_selected_dbid.load(), 3u);
  EXPECT_EQ(select(10), 1);  // the oversized row alone: passed over
  EXPECT_EQ(highest_selected_dbid.load(), 4u);
  EXPECT_EQ(select(10), 0);
  EXPECT_STREQ(raw_batch_text.c_str(), "TAIL;");
  EXPECT_EQ(capture.text(),
            "ZENTIB_ERROR : SENSOR1 : Batch text cannot grow, batch cut at 1 rows\n\r"
            "ZENTIB_ERROR : SENSOR1 : Batch text cannot grow, batch cut at 0 rows\n\r");
}

// Stands in for the scan controller's pause between reopen attempts.
struct BackOffLog {
  int calls = 0;
  int fix_at = 0;       // call at which the path becomes openable again
  int give_up_at = 0;   // call that reports the retry limit passed
  bool stop = false;    // stop the service instead
};

bool back_off_step(void *context) {
  auto *log = static_cast<BackOffLog *>(context);
  ++log->calls;
  if (log->stop) {
    request_restart();
  } else if (log->calls == log->fix_at) {
    std::snprintf(service_config.db_path, sizeof service_config.db_path, "%s", db_path);
  }
  return log->calls != log->give_up_at;
}

TEST_F(BeaconDbTest, ReclaimThatFindsTheFileLockedLeavesTheDatabaseInUse) {
  open_quietly();
  const std::string row(80, 'F');
  for (int i = 0; i < 500; ++i) insert_raw(row.c_str());
  delete_published_beacon_rows(500, 1);  // free pages to give back
  gwtest::DbReader other(db_path);
  ASSERT_EQ(other.exec("BEGIN IMMEDIATE"), SQLITE_OK);
  {
    // Another program's lock is no failure: not yet, silently.
    gwtest::StdoutCapture capture;
    BackOffLog log;
    EXPECT_EQ(reclaim_beacon_space(1, true, back_off_step, &log), ReclaimResult::busy);
    EXPECT_EQ(log.calls, 0);
    EXPECT_EQ(capture.text(), "");
  }
  ASSERT_EQ(other.exec("COMMIT"), SQLITE_OK);
  EXPECT_TRUE(beacon_db.has_insert_statement());
  insert_raw("STILL");
  // Another program's moment of locking delays an insert instead of losing it.
  ASSERT_EQ(other.exec("BEGIN IMMEDIATE"), SQLITE_OK);
  std::thread commit([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    other.exec("COMMIT");
  });
  insert_raw("WAITED");
  commit.join();
}

// A store made before incremental reclaims, on a small RAM /tmp (where the
// VACUUM's copy goes on the board too): no rewrite while its rows still to
// upload fill the limit, nor while a VACUUM's two copies would not fit; once
// uploads have trimmed it, one VACUUM makes it incremental for good.
TEST_F(BeaconDbTest, OlderStoreIsRewrittenOnlyOnceUploadsLeaveRoomForIt) {
  ASSERT_EQ(mount(nullptr, "/tmp", nullptr, MS_REMOUNT, "size=6m"), 0);
  gwtest::VarTmpOnTmp var_tmp;
  ASSERT_TRUE(var_tmp.ok());
  ASSERT_EQ(gwtest::DbReader(db_path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE).exec(
                "PRAGMA page_size=1024; PRAGMA journal_mode=WAL; CREATE TABLE BLE(DT INT, PAYLOAD "
                "varchar NULL, PAYLOAD2 varchar NULL, DBID INTEGER PRIMARY KEY AUTOINCREMENT);"
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2300) "
                "INSERT INTO BLE(DT, PAYLOAD) SELECT 1, printf('%0900d', i) FROM n"),
            SQLITE_OK);
  open_quietly();
  service_config.max_storage_limit = 2;
  const std::string no_room = "ZENTIB_ERROR : SENSOR5 : Cannot reclaim free space from database\n\r"
                              "ZENTIB_ERROR : Not enough free space: ";
  struct Step {
    std::uint64_t uploaded;
    bool report;
    ReclaimResult result;
    std::string output;
  } steps[] = {
      {0, true, ReclaimResult::deferred,
       "ZENTIB_ERROR : SENSOR1 : Rows waiting for upload fill the storage limit (2.3 of 2.0 MiB), "
       "reading paused until they are uploaded\n\r"},
      {0, false, ReclaimResult::deferred, ""},
      {500, true, ReclaimResult::deferred, no_room},
      {2000, true, ReclaimResult::reopened, ""},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.uploaded);
    delete_published_beacon_rows(step.uploaded, 1);
    gwtest::StdoutCapture capture;
    EXPECT_EQ(reclaim_beacon_space(1, step.report, nullptr, nullptr), step.result);
    // The free-space figures follow the fixed part.
    const std::string text = capture.text();
    EXPECT_EQ(step.output == no_room ? text.substr(0, no_room.size()) : text, step.output);
  }
  gwtest::DbReader reader(db_path);
  EXPECT_EQ(reader.text("PRAGMA auto_vacuum"), "2");
  EXPECT_EQ(reader.text("SELECT count(*) FROM BLE"), "300");
}

TEST_F(BeaconDbTest, ReclaimReopensWithABackOffPerFailureAndKeepsTheRows) {
  open_quietly();
  insert_raw("KEPT");
  std::snprintf(service_config.db_path, sizeof service_config.db_path, "%s", "/tmp/gone/x.db");
  BackOffLog log;
  log.fix_at = 2;
  gwtest::StdoutCapture capture;
  EXPECT_EQ(reclaim_beacon_space(1, true, back_off_step, &log), ReclaimResult::reopened);
  const std::string failure =
      "ZENTIB_ERROR : SENSOR1 : Cannot open the BLE database\n\r"
      "ZENTIB_ERROR : SENSOR1 : Status = 14\n\r"
      "ZENTIB_ERROR : SENSOR1 : Cannot create database sensor 1\n\r";
  EXPECT_EQ(capture.text(), failure + failure);
  EXPECT_EQ(log.calls, 2);
  // Rows, sequence and journal mode stay in the file.
  insert_raw("AFTER");
  gwtest::DbReader reader(db_path);
  EXPECT_EQ(reader.text("PRAGMA journal_mode"), "wal");
  auto rows = reader.rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].dbid, 2);
}

TEST_F(BeaconDbTest, ReopenRepetitionEndsAtAStopOrOnceTheRetriesAreDone) {
  for (bool stop : {true, false}) {
    open_quietly();
    std::snprintf(service_config.db_path, sizeof service_config.db_path, "%s", "/tmp/gone/x.db");
    BackOffLog log;
    log.stop = stop;
    log.give_up_at = 3;
    {
      gwtest::StdoutCapture capture;
      EXPECT_EQ(reclaim_beacon_space(1, true, back_off_step, &log), ReclaimResult::stopped);
    }
    EXPECT_EQ(log.calls, stop ? 1 : 3);
    EXPECT_FALSE(beacon_db_open());
    // The teardown finds nothing to close; the last inserts are refused.
    EXPECT_EQ(insert_beacon_row(1, "A", nullptr), beacon_db_unavailable);
    EXPECT_EQ(close_beacon_db(), SQLITE_OK);
    std::snprintf(service_config.db_path, sizeof service_config.db_path, "%s", db_path);
    clear_restart_request();
    gw::clear_pacing_cancelled();
  }
  // A stop already set touches nothing: the last flush still gets in.
  open_quietly();
  request_restart();
  EXPECT_EQ(reclaim_beacon_space(1, true, back_off_step, nullptr), ReclaimResult::stopped);
  insert_raw("LAST");
}

TEST(BatchText, GrowthRefusesWhatCannotFitAndKeepsTheText) {
  BatchText text;
  EXPECT_STREQ(text.c_str(), "");
  ASSERT_TRUE(text.reserve_item(3));
  text.append_item("ABC", 3);
  EXPECT_FALSE(text.reserve_item(SIZE_MAX));
  EXPECT_FALSE(text.reserve_item(SIZE_MAX - 1));
  EXPECT_FALSE(text.reserve_item(batch_text_limit - 4));
  EXPECT_STREQ(text.c_str(), "ABC;");
  BatchText moved(std::move(text));
  EXPECT_STREQ(moved.c_str(), "ABC;");
  EXPECT_STREQ(text.c_str(), "");  // NOLINT(bugprone-use-after-move): a moved-from text is empty
}

}  // namespace
}  // namespace sensor_handler
