// The diagnostic dump file: name, record layout and number format.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/dump.h"
#include "app/globals.h"
#include "app/simulation.h"
#include "helpers.h"

// Every record goes to dumpN.txt in the current folder.
const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new ScratchDir);

TEST(Dump, RecordsFileNameAndUnwritableFile) {
  // 19 lines: step, one line per player, five per body, a blank; then the
  // level and point lines, and a second record appended to the open file.
  for (const Vector3& pos : {Vector3(0, 0, 0.5), Vector3(-9.8, 1e-05, 123456789), Vector3()}) {
    global::bodies.push_back(new RBody(1.0, 1, 1, 1, "b"));
    global::bodies.back()->pos = pos;
  }
  global::bodies[0]->vel = Vector3(0, -0.8, 0);
  global::bodies[1]->ang_vel = Vector3(0.25, -0.125, 1.0 / 3);
  global::bodies[1]->SetAngPos(Quaternion(0, 0, 0, 1));
  global::players = {Player(0, global::bodies[0]), Player(1, global::bodies[1])};
  global::players[0].forward = global::players[1].backward = global::players[1].right = true;
  global::simulation_time = 12;
  std::ofstream("dump0.txt") << "left over from an earlier run\n";  // overwritten
  global::DumpInfo();
  global::DumpLevels(2, 5, 7);
  global::DumpPoints(Vector3(0.5, -1.25, 3), 0.0001);
  // Reports handed on at once read as if each had come alone.
  const Trace::Report reports[] = {{true, 1, 3, 4, false, Vector3(9, 9, 9), 9},
                                   {false, 0, 0, 0, true, Vector3(2, 0, -1), 0.5},
                                   {true, 0, 1, 2, true, Vector3(0.25, 1, 0), 1e-05}};
  global::DumpSink()->Replay(reports, 3);
  global::DumpInfo();  // already open: appends
  ResetSimulation();   // closes the file
  const std::string record =
      "t: 12\n p0input: 1,0,0,0\n p1input: 0,1,0,1\n"
      " body0\n  pos     0,0,0.5\n  vel     0,-0.8,0\n  ang_vel 0,0,0\n  ang_pos 1,0,0,0\n"
      " body1\n  pos     -9.8,1e-05,1.23457e+08\n  vel     0,0,0\n"
      "  ang_vel 0.25,-0.125,0.333333\n  ang_pos 0,0,0,1\n"
      " body2\n  pos     0,0,0\n  vel     0,0,0\n  ang_vel 0,0,0\n  ang_pos 1,0,0,0\n\n";
  EXPECT_EQ(ReadFile("dump0.txt"), record + " lvl2 5 7\n mpoint: 0.5,-1.25,3\n 0.0001\n" +
                                       " lvl1 3 4\n mpoint: 2,0,-1\n 0.5\n" +
                                       " lvl0 1 2\n mpoint: 0.25,1,0\n 1e-05\n" + record);

  // '0' + the low 8 bits of the player index while that stays a byte; wrapped
  // to NUL or '/' it would cut the name short or point into a folder.
  const unsigned index[] = {0, 1, 10, 207, 256 + 3, 208, 255};
  const char* name[] = {"dump0.txt", "dump1.txt",   "dump:.txt",  "dump\xff.txt",
                        "dump3.txt", "dump208.txt", "dump255.txt"};
  for (int i = 0; i < 7; ++i)
    EXPECT_EQ(global::DumpFileName(index[i]), name[i]);

  // A folder in the way: nothing opens, nothing is reported, the next record retries.
  std::filesystem::remove("dump1.txt");
  ASSERT_TRUE(std::filesystem::create_directory("dump1.txt"));
  global::player_id = 1;
  global::DumpInfo();
  global::DumpLevels(0, 1, 2);
  EXPECT_FALSE(global::dumpfile.is_open());
  ASSERT_TRUE(std::filesystem::remove("dump1.txt"));
  global::DumpInfo();
  ResetSimulation();
  EXPECT_EQ(ReadFile("dump1.txt"), "t: 0\n\n");
}

// The limit lets records through whole or not at all, a large scene's state
// record too, though it is formatted a body at a time.
TEST(Dump, LimitCutsNoRecord) {
  for (int i = 0; i < 40; ++i)
    global::bodies.push_back(new RBody(1.0, 1, 1, 1, "b"));
  global::DumpInfo();
  global::CloseDump();
  const std::string record = ReadFile("dump0.txt");
  const std::uint64_t limit = record.size() * 3 / 2;
  global::ConfigureDump({true, "", limit});
  const std::string said = Stdout([] {
    global::DumpInfo();
    global::DumpInfo();
    global::CloseDump();
  });
  EXPECT_EQ(said, "The dump file dump0.txt reached its limit of " + global::DumpLimitText(limit) +
                      "; no more is written to it.\n");
  EXPECT_EQ(ReadFile("dump0.txt"), record);
  ResetSimulation();
}

// Records are formatted without the stream; every number must still read as
// the stream's default format prints it, the odd ones included.
TEST(Dump, NumbersAsTheStreamPrintsThem) {
  std::vector<double> values = {0.0,
                                -0.0,
                                1e-5,
                                9.9999995e-5,
                                999999.5,
                                1e16,
                                -1e-300,
                                5e-324,
                                2.2250738585072014e-308,
                                1e308,
                                0.1 + 0.2,
                                123456.5,
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::quiet_NaN()};
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    values.push_back(d);
    values.push_back(
        std::ldexp(static_cast<double>(bits >> 11), -53 + static_cast<int>(i % 40) - 20));
  }
  // Halfway between two six-digit results, and just beside it; powers of
  // ten and their neighbours, where the count of digits changes.
  for (int e = -19; e <= 29; ++e) {
    for (int k = 0; k < 40; ++k) {
      const long digits = k < 10 ? 999990 + k : 100000 + static_cast<long>(rng() % 900000);
      const double half = std::stod(std::to_string(digits) + "5e" + std::to_string(e - 6));
      for (double v : {half, std::nextafter(half, 0.0), std::nextafter(half, 1e300)})
        values.insert(values.end(), {v, -v});
    }
    const double power = std::pow(10.0, e);
    for (double v : {power, std::nextafter(power, 0.0), std::nextafter(power, 1e300),
                     power * 0.9999995, power * 9.999995})
      values.push_back(v);
  }
  global::player_id = 2;
  global::DumpInfo();
  std::ostringstream want;
  want << "t: 0\n\n";
  for (std::size_t i = 0; i + 3 < values.size(); i += 4) {
    global::DumpPoints(Vector3(values[i], values[i + 1], values[i + 2]), values[i + 3]);
    want << " mpoint: " << values[i] << "," << values[i + 1] << "," << values[i + 2] << "\n"
         << " " << values[i + 3] << "\n";
  }
  ResetSimulation();
  EXPECT_EQ(ReadFile("dump2.txt"), want.str());
}
