// The black-box recorder's ring and its dump format, read back as the replay reads it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "apps/feedbox/record_file.h"
#include "klippy/extras/feedhub/record_dump.h"
#include "klippy/extras/feedhub/record_ring.h"

namespace {

using feedhub::RecordEntry;
using feedhub::RecordKind;
using feedhub::RecordRing;

RecordEntry& sensor(RecordRing& ring, double time, int index, bool filament) {
  ring.note_sensor_level(index, filament);
  RecordEntry& entry = ring.next(RecordKind::Sensor, time);
  entry.detail = static_cast<std::uint8_t>(index);
  entry.flag = filament ? 1 : 0;
  return entry;
}

TEST(RecordRing, KeepsTheNewestEntriesAndWhatTheSensorsReadBeforeThem) {
  RecordRing ring(8);
  const int outlet = feedhub::sensor_index(feedhub::RecordedSensor::Outlet, -1);
  // The first change tells the level before it: the outlet read clear until time 1.
  sensor(ring, 1.0, outlet, true);
  feedhub::RecordSnapshot before = ring.snapshot();
  EXPECT_EQ(before.start_levels[outlet], 0);
  for (int i = 0; i < 19; ++i) ring.next(RecordKind::Ready, 2.0 + i);
  const feedhub::RecordSnapshot snapshot = ring.snapshot();
  ASSERT_EQ(snapshot.entries.size(), 8U);
  EXPECT_EQ(ring.size(), 8U);
  EXPECT_EQ(snapshot.dropped, 12U);
  EXPECT_EQ(snapshot.entries.front().seq, 13U);
  EXPECT_EQ(snapshot.entries.back().seq, 20U);
  // The sensor change left the ring: the history now starts with filament at the outlet.
  EXPECT_EQ(snapshot.start_levels[outlet], 1);
  EXPECT_EQ(ring.find(12), nullptr);
  ASSERT_NE(ring.find(13), nullptr);
  EXPECT_EQ(ring.find(13)->time, 13.0);
  EXPECT_EQ(ring.memory_bytes(), sizeof(RecordRing) + 8 * sizeof(RecordEntry));
}

TEST(RecordRing, TextLongerThanAnEntryIsCutAndMarked) {
  RecordRing ring(2);
  RecordEntry& entry = ring.next(RecordKind::CommandStart, 0.0);
  const std::string line(300, 'x');
  RecordRing::set_text(entry, line);
  EXPECT_EQ(entry.text_view(), line.substr(0, feedhub::kRecordTextSize));
  EXPECT_TRUE(entry.truncated);
  RecordEntry& variable = ring.next(RecordKind::Variable, 0.0);
  RecordRing::set_text(variable, "slot0");
  RecordRing::append_text(variable, "2", feedhub::kVariableSeparator);
  EXPECT_FALSE(variable.truncated);
  EXPECT_EQ(variable.text_view(), std::string("slot0\x1f") + "2");
}

TEST(RecordDump, ReadsBackAsTheReplayReadsIt) {
  RecordRing ring(16);
  ring.next(RecordKind::Ready, 1.0);
  RecordEntry& command = ring.next(RecordKind::CommandStart, 2.0);
  RecordRing::set_text(command, "EXTRUDER_LOAD SLOT=slot0 NOTE=\"a \\ b\"");
  RecordEntry& move = ring.next(RecordKind::Move, 2.0);
  move.slot = 0;
  move.print_time = 3.0;
  move.values = {341.52, 80.0, 50.0, 8.07};
  move.flag = 1;
  sensor(ring, 7.5, feedhub::sensor_index(feedhub::RecordedSensor::Runout, 5), false).slot = 5;
  RecordEntry& error = ring.next(RecordKind::Error, 8.0);
  error.values[0] = 6;
  error.slot = 0;
  RecordRing::set_text(error, "Code:ZKE_004_006; Message:Extruder loading failure.");
  RecordEntry& variable = ring.next(RecordKind::Variable, 8.0);
  RecordRing::set_text(variable, "retry_step");
  RecordRing::append_text(variable, "'ZKE_004_006_0'", feedhub::kVariableSeparator);
  RecordRing::append_text(variable, "None", feedhub::kVariableSeparator);
  variable.flag = 1;
  RecordEntry& end = ring.next(RecordKind::CommandEnd, 9.0);
  end.values[0] = static_cast<double>(command.seq);
  RecordRing::set_text(end, "Unable to \"load\"\nsecond line");

  feedhub::DumpContext context;
  context.reason = "ZKE_004_006_0";
  context.time = 9.5;
  context.slots = {"slot0", "slot1"};
  context.variables = {{"slot_sync", klippy::Value("slot-1")}, {"slot0", klippy::Value(-2)}};
  std::istringstream text(feedhub::format_record_dump(ring.snapshot(), context));
  const feedbox::RecordDump dump = feedbox::read_record_dump(text, "dump");

  EXPECT_EQ(dump.reason, "ZKE_004_006_0");
  EXPECT_EQ(dump.slots, (std::vector<std::string>{"slot0", "slot1"}));
  EXPECT_EQ(dump.variables.at("slot_sync"), "'slot-1'");
  EXPECT_EQ(dump.variables.at("slot0"), "-2");
  ASSERT_EQ(dump.events.size(), 7U);
  EXPECT_EQ(dump.events[1].text, "EXTRUDER_LOAD SLOT=slot0 NOTE=\"a \\ b\"");
  EXPECT_DOUBLE_EQ(dump.events[2].distance_mm, 341.52);
  EXPECT_DOUBLE_EQ(dump.events[2].end_time, 8.07);
  EXPECT_EQ(dump.events[3].sensor, "runout");
  EXPECT_EQ(dump.events[3].slot, 5);
  EXPECT_FALSE(dump.events[3].filament);
  EXPECT_EQ(dump.events[4].code, 6);
  EXPECT_EQ(dump.events[5].text, "retry_step");
  EXPECT_EQ(dump.events[5].value, "'ZKE_004_006_0'");
  EXPECT_EQ(dump.events[5].old, "None");
  EXPECT_FALSE(dump.events[6].ok);
  EXPECT_EQ(dump.events[6].start_seq, command.seq);
  EXPECT_EQ(dump.events[6].text, "Unable to \"load\"\nsecond line");
}

// A console line cut inside a multi-byte character, and a byte of another encoding in a
// message: the record stays readable, the broken bytes marked, the rest as it was.
TEST(RecordDump, TextThatIsNoUtf8StillReadsBack) {
  RecordRing ring(4);
  RecordEntry& command = ring.next(RecordKind::CommandStart, 1.0);
  const std::string prefix(feedhub::kRecordTextSize - 1, 'M');
  RecordRing::set_text(command, prefix +
                                    "\xc2\xb0"
                                    "C");
  RecordEntry& end = ring.next(RecordKind::CommandEnd, 2.0);
  end.values[0] = static_cast<double>(command.seq);
  RecordRing::set_text(end, "Nozzle at 250\xb0 is too hot");

  std::istringstream text(feedhub::format_record_dump(ring.snapshot(), {}));
  const feedbox::RecordDump dump = feedbox::read_record_dump(text, "dump");
  ASSERT_EQ(dump.events.size(), 2U);
  EXPECT_EQ(dump.events[0].text, prefix + "\xef\xbf\xbd");
  EXPECT_EQ(dump.events[1].text, "Nozzle at 250\xef\xbf\xbd is too hot");
}

TEST(RecordDump, AFileThatIsNoRecordIsRefusedByName) {
  std::istringstream garbage("[Variables]\nslot0 = 1\n");
  EXPECT_THROW(feedbox::read_record_dump(garbage, "saved_variables.cfg"), std::runtime_error);
  std::istringstream headless("{\"record\":\"ready\",\"seq\":1,\"time\":0}\n");
  EXPECT_THROW(feedbox::read_record_dump(headless, "x.jsonl"), std::runtime_error);
}

}  // namespace
