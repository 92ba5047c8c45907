// The diagnostic dump file: name, record layout and number format.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/dump.h"
#include "app/globals.h"
#include "app/simulation.h"
#include "scratch_env.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class DumpTest : public ::testing::Test {
 protected:
  void TearDown() override { ResetSimulation(); }

  RBody* AddBody(double w, double h, double d, Vector3 pos) {
    RBody* b = new RBody(1.0, w, h, d, "b");
    b->pos = pos;
    b->id = static_cast<int>(global::bodies.size());
    global::bodies.push_back(b);
    return b;
  }
};

}  // namespace

TEST_F(DumpTest, RecordOfTwoPlayersAndThreeBodiesHasNineteenLines) {
  RBody* a = AddBody(1, 1, 1, Vector3(0, 0, 0.5));
  a->vel = Vector3(0, -0.8, 0);
  RBody* b = AddBody(2, 2, 2, Vector3(-9.8, 1e-05, 123456789));
  b->ang_vel = Vector3(0.25, -0.125, 1.0 / 3);
  b->SetAngPos(Quaternion(0, 0, 0, 1));
  AddBody(30, 30, 1, Vector3(0, 0, -0.5));
  global::players.push_back(Player(0, a));
  global::players.push_back(Player(1, b));
  global::players[0].forward = true;
  global::players[1].backward = true;
  global::players[1].right = true;
  global::simulation_time = 12;

  {  // an existing file is overwritten
    std::ofstream old("dump0.txt");
    old << "left over from an earlier run\n";
  }
  global::DumpInfo();
  global::dumpfile.close();
  const std::string want =
      "t: 12\n"
      " p0input: 1,0,0,0\n"
      " p1input: 0,1,0,1\n"
      " body0\n"
      "  pos     0,0,0.5\n"
      "  vel     0,-0.8,0\n"
      "  ang_vel 0,0,0\n"
      "  ang_pos 1,0,0,0\n"
      " body1\n"
      "  pos     -9.8,1e-05,1.23457e+08\n"
      "  vel     0,0,0\n"
      "  ang_vel 0.25,-0.125,0.333333\n"
      "  ang_pos 0,0,0,1\n"
      " body2\n"
      "  pos     0,0,-0.5\n"
      "  vel     0,0,0\n"
      "  ang_vel 0,0,0\n"
      "  ang_pos 1,0,0,0\n"
      "\n";
  const std::string got = ReadFile("dump0.txt");
  EXPECT_EQ(got, want);
  EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), 19);
}

TEST_F(DumpTest, LevelAndPointLinesFollowTheRecord) {
  AddBody(1, 1, 1, Vector3());
  global::DumpInfo();
  global::DumpLevels(2, 5, 7);
  global::DumpPoints(Vector3(0.5, -1.25, 3), 0.0001);
  global::DumpInfo();  // already open: appends
  global::dumpfile.close();
  const std::string record =
      "t: 0\n body0\n  pos     0,0,0\n  vel     0,0,0\n  ang_vel 0,0,0\n  ang_pos 1,0,0,0\n\n";
  EXPECT_EQ(ReadFile("dump0.txt"), record + " lvl2 5 7\n mpoint: 0.5,-1.25,3\n 0.0001\n" + record);
}

TEST_F(DumpTest, FileIsNamedAfterThePlayer) {
  EXPECT_EQ(global::DumpFileName(0), "dump0.txt");
  EXPECT_EQ(global::DumpFileName(1), "dump1.txt");
  EXPECT_EQ(global::DumpFileName(10), "dump:.txt");  // the character after '9'
  EXPECT_EQ(global::DumpFileName(207), std::string("dump\xff.txt"));
  // Only the low 8 bits count.
  EXPECT_EQ(global::DumpFileName(256 + 3), "dump3.txt");
  // Beyond the byte range the character would wrap to NUL or '/', which
  // would cut the name short or point into a folder: the number is written.
  EXPECT_EQ(global::DumpFileName(208), "dump208.txt");
  EXPECT_EQ(global::DumpFileName(255), "dump255.txt");

  global::player_id = 1;
  global::DumpInfo();
  global::dumpfile.close();
  EXPECT_EQ(ReadFile("dump1.txt"), "t: 0\n\n");
}

TEST_F(DumpTest, UnwritableFileIsRetriedAtTheNextRecord) {
  // A folder in the way: the file cannot be opened, nothing is reported.
  std::filesystem::remove("dump0.txt");
  ASSERT_TRUE(std::filesystem::create_directory("dump0.txt"));
  global::DumpInfo();
  global::DumpLevels(0, 1, 2);
  EXPECT_FALSE(global::dumpfile.is_open());
  ASSERT_TRUE(std::filesystem::remove("dump0.txt"));
  global::simulation_time = 3;
  global::DumpInfo();
  global::dumpfile.close();
  EXPECT_EQ(ReadFile("dump0.txt"), "t: 3\n\n");
}
