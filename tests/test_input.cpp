// Keyboard and mouse handling and the orbit camera, without a window.
#include <gtest/gtest.h>

#include <enet/enet.h>

#include <cmath>
#include <vector>

#include "app/controls.h"
#include "app/globals.h"
#include "app/input.h"
#include "net/network.h"
#include "render/renderer.h"

namespace {

void ResetCamera() {
  Renderer::camera_radius = 60.0f;
  Renderer::camera_longitude = 2.0f;
  Renderer::camera_polar_angle = 1.5f;
  Renderer::RotateCamera(0, 0, false, false);
}

void ResetInput() {
  for (int i = 0; i < 256; ++i)
    global::new_keys[i] = global::old_keys[i] = false;
  global::mouse_key = global::scroll_up = global::scroll_down = false;
  global::mouse_x_old = global::mouse_x_new = global::mouse_y_old = global::mouse_y_new = 0;
  global::speed = 1.0;
}

// The key tables are indexed by character code.
bool new_key(unsigned char k) {
  return global::new_keys[k];
}
bool old_key(unsigned char k) {
  return global::old_keys[k];
}

class CameraTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCamera(); }
};

TEST_F(CameraTest, InitialEye) {
  EXPECT_NEAR(Renderer::cameraPos.x(), -24.906, 1e-3);
  EXPECT_NEAR(Renderer::cameraPos.y(), 54.421, 1e-3);
  EXPECT_NEAR(Renderer::cameraPos.z(), 4.244, 1e-3);
}

TEST_F(CameraTest, ZoomStepsAndMinimumRadius) {
  for (int i = 0; i < 10; ++i)
    Renderer::RotateCamera(0, 0, true, false);
  EXPECT_EQ(Renderer::camera_radius, 20.0f);
  for (int i = 0; i < 4; ++i)
    Renderer::RotateCamera(0, 0, true, false);
  EXPECT_EQ(Renderer::camera_radius, 5.0f);
  Renderer::RotateCamera(0, 0, true, false);
  EXPECT_EQ(Renderer::camera_radius, 5.0f);
  EXPECT_NEAR(Renderer::cameraPos.Length(), 5.0, 1e-6);

  // Up and down in one call cancel; there is no upper limit.
  Renderer::RotateCamera(0, 0, true, true);
  EXPECT_EQ(Renderer::camera_radius, 5.0f);
  for (int i = 0; i < 300; ++i)
    Renderer::RotateCamera(0, 0, false, true);
  EXPECT_EQ(Renderer::camera_radius, 1205.0f);
}

TEST_F(CameraTest, PolarAngleStopsShortOfThePoles) {
  // Dragging down lifts the eye; it stops at 0.1 rad from +z.
  Renderer::RotateCamera(1000, 0, false, false);
  EXPECT_EQ(Renderer::camera_polar_angle, 0.1f);
  EXPECT_GT(Renderer::cameraPos.z(), 59.0);
  double horizontal = std::hypot(Renderer::cameraPos.x(), Renderer::cameraPos.y());
  EXPECT_GT(horizontal, 5.0);  // never on the axis, so +z is never the line of sight

  // Dragging up lowers it to 3.1 rad, below the origin.
  Renderer::RotateCamera(-2000, 0, false, false);
  EXPECT_EQ(Renderer::camera_polar_angle, 3.1f);
  EXPECT_LT(Renderer::cameraPos.z(), -59.0);
}

TEST_F(CameraTest, LongitudeTurnsOneRadianPer200PixelsWithoutWrapping) {
  Renderer::RotateCamera(0, 200, false, false);
  EXPECT_EQ(Renderer::camera_longitude, 1.0f);
  EXPECT_EQ(Renderer::camera_polar_angle, 1.5f);
  for (int i = 0; i < 8; ++i)
    Renderer::RotateCamera(0, -200, false, false);
  EXPECT_EQ(Renderer::camera_longitude, 9.0f);
  EXPECT_NEAR(Renderer::cameraPos.x(), 60 * std::sin(1.5) * std::cos(9.0), 1e-4);
  EXPECT_NEAR(Renderer::cameraPos.y(), 60 * std::sin(1.5) * std::sin(9.0), 1e-4);
}

TEST(AspectRatio, WidthOverHeightAndZeroHeight) {
  EXPECT_EQ(Renderer::AspectRatio(1000, 500), 2.0);
  EXPECT_EQ(Renderer::AspectRatio(800, 600), 800.0 / 600.0);
  // A minimised window: finite, no division by zero.
  EXPECT_TRUE(std::isfinite(Renderer::AspectRatio(800, 0)));
  EXPECT_GT(Renderer::AspectRatio(800, 0), 0.0);
}

class InputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCamera();
    ResetInput();
  }
  void TearDown() override { ResetInput(); }
};

TEST_F(InputTest, KeysAreRecordedByCharacterCode) {
  Keyboard('w', 1, 2);
  Keyboard('W', 1, 2);
  EXPECT_TRUE(new_key('w'));
  EXPECT_TRUE(new_key('W'));
  KeyboardUp('w', 1, 2);
  EXPECT_FALSE(new_key('w'));
  EXPECT_TRUE(new_key('W'));
  Keyboard(255, 0, 0);
  EXPECT_TRUE(global::new_keys[255]);
}

TEST_F(InputTest, SpaceTogglesOnlyBetweenOneAndZero) {
  Keyboard(' ', 0, 0);
  EXPECT_EQ(global::speed, 0.0);
  KeyboardUp(' ', 0, 0);
  Keyboard(' ', 0, 0);
  EXPECT_EQ(global::speed, 1.0);

  // A speed the key did not set is left alone.
  global::speed = 0.5;
  Keyboard(' ', 0, 0);
  EXPECT_EQ(global::speed, 0.5);
}

TEST_F(InputTest, QuitKeysEndTheProcessWithStatusZero) {
  EXPECT_EXIT(Keyboard('q', 0, 0), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(Keyboard('Q', 0, 0), ::testing::ExitedWithCode(0), "");
}

TEST_F(InputTest, DragTurnsTheCameraOncePerFrame) {
  global::mouse_x_old = global::mouse_x_new = 7;  // a stale position from earlier
  // Motion without a drag is ignored.
  MouseMotion(50, 50);
  EXPECT_EQ(global::mouse_x_new, 7);

  // The drag starts where the button went down: no jump.
  Mouse(input::kLeftButton, input::kPressed, 300, 200);
  EXPECT_TRUE(global::mouse_key);
  RotateCamera();
  EXPECT_EQ(Renderer::camera_longitude, 2.0f);

  // 100 pixels right in one frame: -0.5 rad of longitude.
  MouseMotion(350, 200);
  MouseMotion(400, 200);
  RotateCamera();
  EXPECT_EQ(Renderer::camera_longitude, 1.5f);
  EXPECT_EQ(global::mouse_x_old, 400);

  // Nothing moved since: the next frame turns nothing.
  RotateCamera();
  EXPECT_EQ(Renderer::camera_longitude, 1.5f);

  // 20 pixels down lowers the polar angle by 0.1.
  MouseMotion(400, 220);
  RotateCamera();
  EXPECT_FLOAT_EQ(Renderer::camera_polar_angle, 1.4f);

  // The release ends the drag; later motion is ignored.
  Mouse(input::kLeftButton, 1, 400, 220);
  EXPECT_FALSE(global::mouse_key);
  MouseMotion(0, 0);
  RotateCamera();
  EXPECT_EQ(Renderer::camera_longitude, 1.5f);
}

TEST_F(InputTest, WheelStepsCountOncePerFrameAndEndADrag) {
  Mouse(input::kLeftButton, input::kPressed, 10, 10);
  // Several steps up in one frame count as one.
  Mouse(input::kWheelUp, input::kPressed, 10, 10);
  EXPECT_TRUE(global::mouse_key);
  Mouse(input::kWheelUp, 1, 10, 10);
  // The wheel's release ends the drag.
  EXPECT_FALSE(global::mouse_key);
  Mouse(input::kWheelUp, input::kPressed, 10, 10);
  Mouse(input::kWheelUp, 1, 10, 10);
  RotateCamera();
  EXPECT_EQ(Renderer::camera_radius, 56.0f);
  EXPECT_FALSE(global::scroll_up);

  // A step up and a step down in one frame cancel.
  Mouse(input::kWheelUp, input::kPressed, 10, 10);
  Mouse(input::kWheelDown, input::kPressed, 10, 10);
  RotateCamera();
  EXPECT_EQ(Renderer::camera_radius, 56.0f);

  Mouse(input::kWheelDown, input::kPressed, 10, 10);
  RotateCamera();
  EXPECT_EQ(Renderer::camera_radius, 60.0f);

  // A press of another button ends a drag too.
  Mouse(input::kLeftButton, input::kPressed, 10, 10);
  Mouse(2, input::kPressed, 10, 10);
  EXPECT_FALSE(global::mouse_key);
}

// Key changes become the own player's flags and input messages. The messages
// go through real ENet peers on the loopback interface: this instance's host
// stands in Network::host and Network::peer, a second host receives.
class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetInput();
    ASSERT_EQ(enet_initialize(), 0);
    ENetAddress address;
    enet_address_set_host(&address, "127.0.0.1");
    address.port = 0;  // any free port: the program's 1234 may be in use
    receiver_ = enet_host_create(&address, 1, 2, 0, 0);
    ASSERT_NE(receiver_, nullptr);
    ASSERT_EQ(enet_socket_get_address(receiver_->socket, &address), 0);
    sender_ = enet_host_create(nullptr, 1, 2, 0, 0);
    ASSERT_NE(sender_, nullptr);
    ENetPeer* peer = enet_host_connect(sender_, &address, 2, 0);
    ASSERT_NE(peer, nullptr);
    bool connected = false;
    for (int i = 0; i < 200 && !connected; ++i) {
      ENetEvent event;
      while (enet_host_service(receiver_, &event, 5) > 0) {
      }
      if (enet_host_service(sender_, &event, 5) > 0 && event.type == ENET_EVENT_TYPE_CONNECT)
        connected = true;
    }
    ASSERT_TRUE(connected);
    Network::host = sender_;
    Network::peer = peer;
    Network::players = &global::players;

    body_ = new RBody(1, 1, 1, 1, "mine");
    global::bodies.push_back(body_);
    global::players.push_back(Player(0, body_));
    global::player_id = 0;
    global::simulation_time = 77;
  }

  void TearDown() override {
    Network::peer = nullptr;
    Network::host = nullptr;
    Network::players = nullptr;
    if (sender_ != nullptr)
      enet_host_destroy(sender_);
    if (receiver_ != nullptr)
      enet_host_destroy(receiver_);
    enet_deinitialize();
    for (RBody* b : global::bodies)
      delete b;
    global::bodies.clear();
    global::players.clear();
    global::player_id = 0;
    global::simulation_time = 0;
    ResetInput();
  }

  // Everything that arrives within a short wait, decoded.
  std::vector<Network::Command> Received() {
    std::vector<Network::Command> commands;
    for (int i = 0; i < 20; ++i) {
      ENetEvent event;
      enet_host_service(sender_, &event, 0);
      while (enet_host_service(receiver_, &event, 5) > 0) {
        if (event.type != ENET_EVENT_TYPE_RECEIVE)
          continue;
        EXPECT_EQ(event.packet->dataLength, 10u);
        EXPECT_EQ(event.channelID, 0u);
        commands.push_back(Network::ReadPacket(event.packet));
        enet_packet_destroy(event.packet);
      }
    }
    return commands;
  }

  static void ExpectInput(const Network::Command& c, Network::Input input, uint32_t time,
                          uint32_t id) {
    EXPECT_EQ(c.type, Network::MSG_SEND_INPUT);
    EXPECT_EQ(c.input, input);
    EXPECT_EQ(c.simulation_time, time);
    EXPECT_EQ(c.id, id);
  }

  ENetHost* receiver_ = nullptr;
  ENetHost* sender_ = nullptr;
  RBody* body_ = nullptr;
};

TEST_F(ControlsTest, HeldKeySendsOneDownAndOneUpStampedWithTheStep) {
  Keyboard('w', 0, 0);
  UpdateControls();
  EXPECT_TRUE(global::players[0].forward);
  EXPECT_TRUE(old_key('w'));

  // Frames while the key stays down send nothing.
  global::simulation_time = 90;
  UpdateControls();
  UpdateControls();

  global::simulation_time = 102;
  KeyboardUp('w', 0, 0);
  UpdateControls();
  EXPECT_FALSE(global::players[0].forward);

  std::vector<Network::Command> got = Received();
  ASSERT_EQ(got.size(), 2u);
  ExpectInput(got[0], Network::FORWARD_DOWN, 77, 0);
  ExpectInput(got[1], Network::FORWARD_UP, 102, 0);
}

TEST_F(ControlsTest, EachDirectionKeySetsItsFlagInKeyOrder) {
  // Pressed in reverse order, seen in one frame: sent as w, s, a, d.
  Keyboard('d', 0, 0);
  Keyboard('a', 0, 0);
  Keyboard('s', 0, 0);
  Keyboard('w', 0, 0);
  UpdateControls();
  const Player& p = global::players[0];
  EXPECT_TRUE(p.forward && p.backward && p.left && p.right);
  std::vector<Network::Command> got = Received();
  ASSERT_EQ(got.size(), 4u);
  ExpectInput(got[0], Network::FORWARD_DOWN, 77, 0);
  ExpectInput(got[1], Network::BACKWARD_DOWN, 77, 0);
  ExpectInput(got[2], Network::LEFT_DOWN, 77, 0);
  ExpectInput(got[3], Network::RIGHT_DOWN, 77, 0);
}

TEST_F(ControlsTest, OwnPlayerIsTheOneAtPlayerId) {
  RBody* other = new RBody(1, 1, 1, 1, "theirs");
  global::bodies.push_back(other);
  global::players.push_back(Player(1, other));
  global::player_id = 1;
  Keyboard('a', 0, 0);
  UpdateControls();
  EXPECT_FALSE(global::players[0].left);
  EXPECT_TRUE(global::players[1].left);
  std::vector<Network::Command> got = Received();
  ASSERT_EQ(got.size(), 1u);
  ExpectInput(got[0], Network::LEFT_DOWN, 77, 1);
}

TEST_F(ControlsTest, PressAndReleaseWithinOneFrameChangeNothing) {
  Keyboard('s', 0, 0);
  KeyboardUp('s', 0, 0);
  UpdateControls();
  EXPECT_FALSE(global::players[0].backward);
  EXPECT_TRUE(Received().empty());
}

TEST_F(ControlsTest, UpperCaseLettersMoveNothing) {
  for (unsigned char k : {'W', 'S', 'A', 'D'})
    Keyboard(k, 0, 0);
  UpdateControls();
  const Player& p = global::players[0];
  EXPECT_FALSE(p.forward || p.backward || p.left || p.right);
  EXPECT_TRUE(old_key('W'));
  EXPECT_TRUE(Received().empty());
}

TEST_F(ControlsTest, KeyChangeBeforeTheClientHasPlayersIsDropped) {
  // A client before its first sync: no players, nothing to set.
  global::players.clear();
  global::player_id = 0;
  Keyboard('w', 0, 0);
  UpdateControls();
  EXPECT_TRUE(global::players.empty());
  EXPECT_TRUE(old_key('w'));
  // A player index past the list (a sync not yet applied) is no better.
  global::players.push_back(Player(0, body_));
  global::player_id = 3;
  Keyboard('d', 0, 0);
  UpdateControls();
  EXPECT_FALSE(global::players[0].right);
  EXPECT_TRUE(Received().empty());
}

TEST_F(ControlsTest, WithoutAPeerFlagsStillChange) {
  Network::peer = nullptr;
  Keyboard('d', 0, 0);
  UpdateControls();
  EXPECT_TRUE(global::players[0].right);
}

}  // namespace
