#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "app/globals.h"
#include "app/scene.h"
#include "helpers.h"

namespace {

class SceneTest : public ::testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override { Clear(); }

  static void Clear() {
    for (RBody* b : global::bodies)
      delete b;
    global::bodies.clear();
    global::old_state.clear();
  }
};

const char* kDynamic = "1 2 4 6 mover 0  1 2 3  4 5 6  1 0 0 0  7 8 9";
const char* kStatic = "3 10 10 1 floor 1  0 0 -0.5  2 0 0 0";

TEST_F(SceneTest, DynamicAndStaticRecordsInEitherOrder) {
  for (bool dynamic_first : {true, false}) {
    SCOPED_TRACE(dynamic_first);
    Clear();
    std::string text = std::string("header~") + (dynamic_first ? kDynamic : kStatic) + "\n" +
                       (dynamic_first ? kStatic : kDynamic) + ";";
    const SceneLoad r = LoadSceneText(text);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.result, 0);
    ASSERT_EQ(global::bodies.size(), 2u);
    RBody* mover = global::bodies[dynamic_first ? 0 : 1];
    RBody* floor = global::bodies[dynamic_first ? 1 : 0];
    EXPECT_EQ(global::bodies[0]->id, 0);
    EXPECT_EQ(global::bodies[1]->id, 1);
    EXPECT_EQ(mover->name, "mover");
    EXPECT_FALSE(mover->is_static);
    EXPECT_EQ(mover->mass, 48.0);
    EXPECT_EQ(mover->pos.z(), 3.0);
    EXPECT_EQ(mover->vel.x(), 4.0);
    EXPECT_EQ(mover->ang_vel.z(), 9.0);
    EXPECT_TRUE(floor->is_static);
    EXPECT_EQ(floor->pos.z(), -0.5);
    EXPECT_EQ(floor->vel.Length(), 0.0);
    EXPECT_EQ(floor->ang_vel.Length(), 0.0);
    EXPECT_EQ(floor->ang_pos.s, 1.0);  // (2, 0, 0, 0) normalised
    ASSERT_EQ(global::old_state.size(), 2u);
    EXPECT_EQ(global::old_state[dynamic_first ? 0 : 1].pos.y(), 2.0);
  }
}

TEST_F(SceneTest, EmptySceneAndHeaderRules) {
  EXPECT_EQ(LoadSceneText("just a header~;").result, 0);
  EXPECT_TRUE(global::bodies.empty());

  {  // orientation scalar first: (0, 0, 0, 1) is a half turn about z
    ASSERT_EQ(LoadSceneText("~1 1 1 1 t 1 0 0 0 0 0 0 1;").result, 0);
    EXPECT_EQ(global::bodies[0]->ang_pos.s, 0.0);
    EXPECT_EQ(global::bodies[0]->ang_pos.v.z(), 1.0);
    Clear();
  }
  {  // without a '~' in the first 1024 characters, records start at 1025
    std::string header(1024, 'x');
    ASSERT_EQ(LoadSceneText(header + kStatic + ";").result, 0);
    ASSERT_EQ(global::bodies.size(), 1u);
    EXPECT_EQ(global::bodies[0]->name, "floor");
    Clear();
  }
  {  // a '~' beyond the first 1024 characters is not a header end
    std::string header(1030, 'x');
    EXPECT_EQ(LoadSceneText(header + "~" + kStatic + ";").result, -1);
  }
  {  // exponent notation and signs
    ASSERT_EQ(LoadSceneText("~1e0 2.5E-1 +1 .5 e 1 -1e-3 0 0 1 0 0 0;").result, 0);
    EXPECT_EQ(global::bodies[0]->width, 0.25);
    EXPECT_EQ(global::bodies[0]->height, 1.0);
    EXPECT_EQ(global::bodies[0]->depth, 0.5);
    EXPECT_EQ(global::bodies[0]->pos.x(), -1e-3);
    Clear();
  }
  {  // a name is any run of non-whitespace, ';' included; a ';' right after
     // the last field of the last record still ends the file
    const SceneLoad r = LoadSceneText(
        "~1 1 1 1 a;b 1 0 0 0 1 0 0 0\n1 1 1 1 x; 1 0 0 0 1 0 0 0;"
        "1 1 1 1 after 1 0 0 0 1 0 0 0;");
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.result, 0);
    ASSERT_EQ(global::bodies.size(), 2u);
    EXPECT_EQ(global::bodies[0]->name, "a;b");
    EXPECT_EQ(global::bodies[1]->name, "x;");
  }
}

TEST_F(SceneTest, MissingOrUnreadableFile) {
  int r = 0;
  EXPECT_EQ(Stdout([&] { r = PrepareScene("/nonexistent/boxsim/scene.txt"); }),
            "Scene file not found!\n");
  EXPECT_EQ(r, -1);
  // A folder opens but cannot be read: refused, not a crash.
  const std::string dir = ::testing::TempDir();
  EXPECT_EQ(Stdout([&] { r = PrepareScene(dir.c_str()); }),
            "Scene file " + dir + " cannot be read.\n");
  EXPECT_EQ(r, -1);
  EXPECT_TRUE(global::bodies.empty());
}

// Every broken file is refused as a whole, with one line naming the record,
// and the scene that was loaded before stays exactly as it was.
TEST_F(SceneTest, BrokenFilesAreRefusedAndChangeNothing) {
  ASSERT_EQ(LoadSceneText(std::string("~") + kStatic + ";").result, 0);
  RBody* before = global::bodies[0];
  const std::string good = std::string(kStatic) + "\n";

  struct Case {
    const char* what;
    std::string text;
    const char* message;  // expected tail of the line
  } cases[] = {
      {"missing field", good + "1 1 1 1 b 0 0 0 0 0 0 0 1 0 0 0 0 0;",
       "body 2: angular velocity z: missing"},
      {"word for a number", good + "1 1 abc 1 b 1 0 0 0 1 0 0 0;",
       "body 2: height: \"abc\" is not a number"},
      {"number glued to text", "1.5abc 1 1 1 b 1 0 0 0 1 0 0 0;",
       "body 1: density: \"1.5abc\" is not a number"},
      {"is_static not 0 or 1", good + "1 1 1 1 b 2 0 0 0 1 0 0 0;",
       "body 2: is_static: \"2\" must be 0 or 1"},
      {"zero size", good + "1 0 1 1 b 1 0 0 0 1 0 0 0;", "body 2: width: must be above 0"},
      {"negative size", "1 1 1 -2 b 1 0 0 0 1 0 0 0;", "body 1: depth: must be above 0"},
      {"non-finite number", good + "1 1 1 1 b 1 0 1e999 0 1 0 0 0;",
       "body 2: position y: 1e999 is not a finite number"},
      {"nan", "1 1 1 1 b 1 nan 0 0 1 0 0 0;", "body 1: position x: \"nan\" is not a number"},
      {"zero orientation", good + "1 1 1 1 b 1 0 0 0 0 0 0 0;",
       "body 2: orientation: length 0 cannot be normalised"},
      {"no terminator", good, "body 2: input ends before the ';' terminator"},
      {"ends mid-record", good + "1 1 1", "body 2: depth: missing"},
      {"terminator after whitespace", good + " ;",
       "body 2: the ';' terminator must follow the last field directly, without whitespace"},
      {"empty input after header", "", "body 1: input ends before the ';' terminator"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const SceneLoad r = LoadSceneText(std::string("header~") + c.text);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "Scene file " + r.path + ", " + c.message + "\n");
    ASSERT_EQ(global::bodies.size(), 1u);
    EXPECT_EQ(global::bodies[0], before);
    ASSERT_EQ(global::old_state.size(), 1u);
    EXPECT_EQ(global::old_state[0].pos.z(), -0.5);
  }
}

TEST_F(SceneTest, BundledScenesLoad) {
  for (const char* name : {"default.txt", "stack.txt", "pile.txt"}) {
    SCOPED_TRACE(name);
    Clear();
    int r = -1;
    EXPECT_EQ(Stdout([&] { r = PrepareScene(ScenePath(name).c_str()); }), "");
    EXPECT_EQ(r, 0);
    ASSERT_GE(global::bodies.size(), 2u);
    // Both players' boxes must be able to move.
    EXPECT_FALSE(global::bodies[0]->is_static);
    EXPECT_FALSE(global::bodies[1]->is_static);
    for (RBody* b : global::bodies)
      EXPECT_NEAR(b->ang_pos.Normalize().s, b->ang_pos.s, 1e-15);
  }
  Clear();
  Stdout([] { PrepareScene(ScenePath("default.txt").c_str()); });
  EXPECT_LE(global::bodies.size(), 7u);  // a client must be able to receive it in one message
}

}  // namespace
