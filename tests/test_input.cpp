// Keyboard and mouse handling and the orbit camera, without a window.
#include <gtest/gtest.h>

#include <enet/enet.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "app/controls.h"
#include "app/globals.h"
#include "app/input.h"
#include "app/simulation.h"
#include "net/network.h"
#include "render/camera.h"

namespace {

using input::kLeftButton, input::kPressed, input::kWheelDown, input::kWheelUp;
using Sent = std::vector<std::tuple<Network::Input, uint32_t, uint32_t>>;  // input, step, player

// One frame: the keys go down, then up, then the frame's controls run.
void Keys(const std::string& down, const std::string& up = "") {
  for (char k : down)
    Keyboard(k, 0, 0);
  for (char k : up)
    KeyboardUp(k, 0, 0);
  UpdateControls();
}

// Each test starts with the camera and the key tables as the program starts.
class InputTest : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override {
    ResetSimulation();
    Renderer::camera_radius = 60.0f;
    Renderer::camera_longitude = 2.0f;
    Renderer::camera_polar_angle = 1.5f;
    for (int i = 0; i < 256; ++i)
      global::new_keys[i] = global::old_keys[i] = false;
    global::mouse_key = global::scroll_up = global::scroll_down = false;
  }
};

TEST_F(InputTest, OrbitCamera) {
  // Four units a wheel step, down to radius 5 and no further.
  for (int i = 1; i <= 15; ++i) {
    Renderer::RotateCamera(0, 0, true, false);
    EXPECT_EQ(Renderer::camera_radius, std::max(60.0f - 4 * i, 5.0f)) << i << " steps";
  }
  // The polar angle stops 0.1 rad short of each pole, so the up vector +z is
  // never the line of sight; 200 px turn one radian of longitude.
  Renderer::RotateCamera(1000, 0, false, false);
  EXPECT_EQ(Renderer::camera_polar_angle, 0.1f);
  Renderer::RotateCamera(-2000, 200, false, false);
  EXPECT_EQ(Renderer::camera_polar_angle, 3.1f);
  EXPECT_EQ(Renderer::camera_longitude, 1.0f);
  EXPECT_NEAR(Renderer::cameraPos.x(), 5 * std::sin(3.1) * std::cos(1.0), 1e-6);
  // A minimised window (height 0) still gets a finite, positive aspect ratio.
  EXPECT_EQ(Renderer::AspectRatio(1000, 500), 2.0);
  EXPECT_TRUE(std::isfinite(Renderer::AspectRatio(800, 0)));
  EXPECT_GT(Renderer::AspectRatio(800, 0), 0);
}

TEST_F(InputTest, DragAndWheelMoveTheCameraOncePerFrame) {
  // The drag starts where the button went down; 100 px right and 20 px down
  // in one frame turn -0.5 and -0.1 rad, once.
  Mouse(kLeftButton, kPressed, 300, 200);
  MouseMotion(350, 200);
  MouseMotion(400, 220);
  RotateCamera();
  RotateCamera();
  EXPECT_EQ(Renderer::camera_longitude, 1.5f);
  EXPECT_FLOAT_EQ(Renderer::camera_polar_angle, 1.4f);
  // A drag ends with the left button's or the wheel's release, or another
  // button's press: later motion turns nothing.
  const int drag_ends[][2] = {{kLeftButton, 1}, {kWheelUp, 1}, {2, kPressed}};
  for (const auto& end : drag_ends) {
    Mouse(kLeftButton, kPressed, 10, 10);
    Mouse(end[0], end[1], 10, 10);
    MouseMotion(0, 0);
    RotateCamera();
  }
  EXPECT_EQ(Renderer::camera_longitude, 1.5f);
  // Two wheel steps in one frame count as one and keep a drag going; up and
  // down in one frame cancel.
  Mouse(kLeftButton, kPressed, 10, 10);
  Mouse(kWheelUp, kPressed, 10, 10);
  Mouse(kWheelUp, kPressed, 10, 10);
  EXPECT_TRUE(global::mouse_key);
  RotateCamera();
  EXPECT_EQ(Renderer::camera_radius, 56.0f);
  Mouse(kWheelUp, kPressed, 10, 10);
  Mouse(kWheelDown, kPressed, 10, 10);
  RotateCamera();
  EXPECT_EQ(Renderer::camera_radius, 56.0f);
}

// Key changes travel between real ENet hosts on loopback, Network::host to receiver.
TEST_F(InputTest, KeysSetFlagsAndSendInputsInKeyOrder) {
  ASSERT_EQ(enet_initialize(), 0);
  ENetAddress address{0, 0};  // any free port: the program's 1234 may be in use
  enet_address_set_host(&address, "127.0.0.1");
  ENetHost* receiver = enet_host_create(&address, 1, 2, 0, 0);
  Network::host = enet_host_create(nullptr, 1, 2, 0, 0);
  ASSERT_NE(receiver, nullptr);
  ASSERT_NE(Network::host, nullptr);
  ASSERT_EQ(enet_socket_get_address(receiver->socket, &address), 0);
  Network::peer = enet_host_connect(Network::host, &address, 2, 0);
  ENetEvent e;
  for (int i = 0; i < 200 && Network::peer->state != ENET_PEER_STATE_CONNECTED; ++i) {
    enet_host_service(receiver, &e, 5);
    enet_host_service(Network::host, &e, 5);
  }
  ASSERT_EQ(Network::peer->state, ENET_PEER_STATE_CONNECTED);
  Network::players = &global::players;
  global::players = {Player(0, nullptr)};
  global::simulation_time = 77;

  // Nothing moves or is sent for a press and release within one frame, for
  // capitals, or before a client's first sync (no players, or its index past
  // the list); such a change is not sent late once the players arrive either.
  Keys("sWSAD", "s");
  global::players.clear();
  Keys("w");
  global::players = {Player(0, nullptr)};
  global::player_id = 3;
  Keys("d");
  global::player_id = 0;
  Keys("");
  const Player& p = global::players[0];
  for (bool flag : {p.forward, p.backward, p.left, p.right})
    EXPECT_FALSE(flag);
  global::player_id = 3;
  Keys("", "wd");
  global::player_id = 0;

  // A held key sends one down, stamped with the step it was seen at, and one up.
  Keys("w");
  EXPECT_TRUE(p.forward);
  Keys("");
  global::simulation_time = 102;
  Keys("", "w");
  EXPECT_FALSE(p.forward);
  // Pressed in reverse within one frame: sent as w, s, a, d, for the player at player_id.
  global::players.push_back(Player(1, nullptr));
  global::player_id = 1;
  Keys("dasw");
  const Player& own = global::players[1];
  for (bool flag : {own.forward, own.backward, own.left, own.right})
    EXPECT_TRUE(flag);

  Sent got;
  for (int i = 0; i < 100; ++i) {
    enet_host_flush(Network::host);
    if (enet_host_service(receiver, &e, 1) <= 0 || e.type != ENET_EVENT_TYPE_RECEIVE)
      continue;
    Network::Command c = Network::ReadPacket(e.packet);
    EXPECT_EQ(c.type, Network::MSG_SEND_INPUT);
    got.emplace_back(c.input, c.simulation_time, c.id);
    enet_packet_destroy(e.packet);
  }
  EXPECT_EQ(got, (Sent{{Network::FORWARD_DOWN, 77, 0},
                       {Network::FORWARD_UP, 102, 0},
                       {Network::FORWARD_DOWN, 102, 1},
                       {Network::BACKWARD_DOWN, 102, 1},
                       {Network::LEFT_DOWN, 102, 1},
                       {Network::RIGHT_DOWN, 102, 1}}));
  enet_host_destroy(Network::host);
  enet_host_destroy(receiver);
  enet_deinitialize();
  Network::host = nullptr;
  Network::peer = nullptr;
  Network::players = nullptr;
}

}  // namespace
