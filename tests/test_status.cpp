// What the overlay says and what the dump options do: the lines follow the
// state they describe, and a dump past its limit stops whole and says so.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/agreement.h"
#include "app/commands.h"
#include "app/dump.h"
#include "app/globals.h"
#include "app/startup.h"
#include "app/status.h"
#include "helpers.h"
#include "net/input_log.h"

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new ScratchDir);

namespace {

class StatusTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ResetSimulation();
    Network::input_log.Clear();
    Agreement::Reset();
    Network::link = Network::Link::kNone;
  }

  static std::string All() {
    std::string text;
    for (const std::string& line : Status::StatusLines())
      text += line + "\n";
    return text;
  }
};

// The host of the default scene with a second player, its dump as `dump`.
int Host(const global::DumpOptions& dump = {}) {
  global::ConfigureDump(dump);
  int result = 0;
  Stdout([&] { result = LoadHostScene(ScenePath("default.txt").c_str()); });
  if (result == 0)
    global::players.push_back(Player(1, global::bodies[1]));
  return result;
}

TEST_F(StatusTest, LinesFollowTheState) {
  EXPECT_EQ(Status::StatusLines(),
            (std::vector<std::string>{"Client, no scene yet", "Step 0", "Not connected",
                                      "h: hide   ?: help"}));
  ASSERT_EQ(Host(), 0);
  Network::link = Network::Link::kListening;
  Network::is_server = true;
  Network::link_port = 4321;
  global::simulation_time = 77;
  EXPECT_EQ(All(),
            "Host, player 0: your box is orange, the other's violet\nStep 77\n"
            "Waiting for a client on port 4321\nh: hide   ?: help\n");

  struct Case {
    double speed;
    Network::Link link;
    const char* step_line;
    const char* link_line;
  };
  global::is_host = false;
  Network::is_server = false;
  global::player_id = 1;
  Network::link_target = "far.example";
  const Case cases[] = {
      {0.0, Network::Link::kFailed, "Step 77, paused (space resumes)",
       "Connection to far.example:4321 failed"},
      {0.5, Network::Link::kPeerLeft, "Step 77, speed 0.5", "The other player left"},
  };
  for (const Case& c : cases) {
    global::speed = c.speed;
    Network::link = c.link;
    const std::vector<std::string> lines = Status::StatusLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Client, player 1: your box is orange, the other's violet");
    EXPECT_EQ(lines[1], c.step_line);
    EXPECT_EQ(lines[2], c.link_line);
  }
}

// A late key change rewinds; the overlay tells how far and how long.
TEST_F(StatusTest, TheLastRewindIsShown) {
  ASSERT_EQ(Host(), 0);
  for (int i = 0; i < 30; ++i)
    SimulationStep(kBaseStepLength);
  EXPECT_EQ(All().find("rewind"), std::string::npos);
  Stdout([] { HandleCommand({Network::MSG_SEND_INPUT, 18, Network::LEFT_DOWN, 1}); });
  EXPECT_EQ(global::last_rewind_steps, 12u);
  EXPECT_NE(All().find("Last rewind: 12 steps in "), std::string::npos) << All();
}

// Each option as the command line gives it; a refused value names itself.
TEST_F(StatusTest, DumpOptionsParse) {
  struct Case {
    std::vector<const char*> words;
    int result;
    bool enabled;
    const char* path;
    uint64_t limit;
    const char* message;
  };
  const Case cases[] = {
      {{"--dump", "trace.txt"}, 1, true, "trace.txt", 0, ""},
      {{"--no-dump"}, 1, false, "", 0, ""},
      {{"--dump-limit", "5"}, 1, true, "", 5000000, ""},
      {{"--dump-limit", "0.25"}, 1, true, "", 250000, ""},
      {{"--port", "9"}, 0, true, "", 0, ""},
      {{"--dump"}, -1, true, "", 0, "--dump needs a value.\n"},
      {{"--dump", ""}, -1, true, "", 0, "--dump needs a file name.\n"},
      {{"--dump-limit", "0"}, -1, true, "", 0,
       "--dump-limit wants a number of megabytes above 0, not \"0\".\n"},
      {{"--dump-limit", "-3"}, -1, true, "", 0,
       "--dump-limit wants a number of megabytes above 0, not \"-3\".\n"},
      {{"--dump-limit", "5MB"}, -1, true, "", 0,
       "--dump-limit wants a number of megabytes above 0, not \"5MB\".\n"},
      {{"--dump-limit", "nan"}, -1, true, "", 0,
       "--dump-limit wants a number of megabytes above 0, not \"nan\".\n"},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv;
    for (const char* w : c.words)
      argv.push_back(const_cast<char*>(w));
    global::DumpOptions o;
    int i = 0, result = 0;
    const std::string out = Stdout(
        [&] { result = ParseDumpOption(static_cast<int>(argv.size()), argv.data(), &i, &o); });
    SCOPED_TRACE(c.words[0]);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(out, c.message);
    EXPECT_EQ(o.enabled, c.enabled);
    EXPECT_EQ(o.path, c.path);
    EXPECT_EQ(o.limit_bytes, c.limit);
    if (result == 1) {
      EXPECT_EQ(i, static_cast<int>(argv.size()) - 1);
    }
  }
}

// Off, elsewhere, and up to a limit: the file ends on a whole line, holds no
// more than the limit, and the one line and the overlay say it stopped.
TEST_F(StatusTest, DumpOffElsewhereAndLimited) {
  std::filesystem::remove("dump0.txt");
  ASSERT_EQ(Host({false, "", 0}), 0);
  for (int i = 0; i < 5; ++i)
    SimulationStep(kBaseStepLength);
  EXPECT_FALSE(std::filesystem::exists("dump0.txt"));
  EXPECT_NE(All().find("Dump off\n"), std::string::npos);
  ResetSimulation();

  ASSERT_EQ(Host({true, "limited.txt", 20000}), 0);
  std::string out = Stdout([] {
    for (int i = 0; i < 40; ++i)
      SimulationStep(kBaseStepLength);
    global::CloseDump();  // the records reach the file a little later
  });
  EXPECT_FALSE(std::filesystem::exists("dump0.txt"));
  const std::string text = ReadFile("limited.txt");
  EXPECT_LE(text.size(), 20000u);
  EXPECT_GT(text.size(), 15000u);
  EXPECT_EQ(text.back(), '\n') << "ends inside a line";
  EXPECT_EQ(out,
            "The dump file limited.txt reached its limit of 0.02 MB; no more is written to it.\n");
  EXPECT_TRUE(global::DumpStopped());
  EXPECT_NE(All().find("Dump stopped at its limit of 0.02 MB\n"), std::string::npos) << All();
  out = Stdout([] { SimulationStep(kBaseStepLength); });
  EXPECT_EQ(out, "") << "said once";
  EXPECT_EQ(ReadFile("limited.txt"), text);
  ResetSimulation();

  // A named file that cannot be written stops the start, with nothing loaded.
  ASSERT_TRUE(std::filesystem::create_directory("a_folder"));
  global::ConfigureDump({true, "a_folder", 0});
  std::string said = Stdout([] { EXPECT_EQ(LoadHostScene(ScenePath("default.txt").c_str()), -1); });
  EXPECT_EQ(said, "Cannot write the dump file a_folder.\n");
  EXPECT_TRUE(global::bodies.empty());
  EXPECT_TRUE(global::players.empty());
}

}  // namespace
