// boxsim's step against Bullet's on the same piles, in the same run: Bullet
// steps once per 0.04 s with one substep, 10 solver iterations and sleeping
// off; the scenes share box sizes, positions, masses (the volumes), a
// restitution of 0.5 and a friction of 0.5. Each iteration times one step of
// each; `ratio` is boxsim's time over Bullet's.

#include <benchmark/benchmark.h>
#include <btBulletDynamicsCommon.h>

#include <chrono>
#include <memory>
#include <vector>

#include "app/globals.h"
#include "app/simulation.h"
#include "piles.h"

namespace {

class BulletWorld {
 public:
  explicit BulletWorld(const std::vector<bench::BoxSpec>& specs)
      : dispatcher_(&config_), world_(&dispatcher_, &broadphase_, &solver_, &config_) {
    world_.setGravity(btVector3(0, 0, -9.8f));
    world_.getSolverInfo().m_numIterations = 10;
    for (const bench::BoxSpec& s : specs) {
      const btVector3 half(btScalar(s.size[0] / 2), btScalar(s.size[1] / 2),
                           btScalar(s.size[2] / 2));
      shapes_.push_back(std::make_unique<btBoxShape>(half));
      const btScalar mass = s.is_static ? 0 : btScalar(s.size[0] * s.size[1] * s.size[2]);
      btVector3 inertia(0, 0, 0);
      if (mass != 0)
        shapes_.back()->calculateLocalInertia(mass, inertia);
      btTransform start;
      start.setIdentity();
      start.setOrigin(btVector3(btScalar(s.pos[0]), btScalar(s.pos[1]), btScalar(s.pos[2])));
      motions_.push_back(std::make_unique<btDefaultMotionState>(start));
      btRigidBody::btRigidBodyConstructionInfo info(mass, motions_.back().get(),
                                                    shapes_.back().get(), inertia);
      info.m_restitution = 0.5f;
      info.m_friction = 0.5f;
      bodies_.push_back(std::make_unique<btRigidBody>(info));
      bodies_.back()->setActivationState(DISABLE_DEACTIVATION);
      world_.addRigidBody(bodies_.back().get());
    }
    for (int s = 0; s < bench::kSettleSteps; ++s)
      Step();
  }
  ~BulletWorld() {
    for (auto& b : bodies_)
      world_.removeRigidBody(b.get());
  }
  BulletWorld(const BulletWorld&) = delete;
  BulletWorld& operator=(const BulletWorld&) = delete;

  void Step() { world_.stepSimulation(btScalar(bench::kStep), 1, btScalar(bench::kStep)); }

 private:
  btDefaultCollisionConfiguration config_;
  btCollisionDispatcher dispatcher_;
  btDbvtBroadphase broadphase_;
  btSequentialImpulseConstraintSolver solver_;
  btDiscreteDynamicsWorld world_;
  std::vector<std::unique_ptr<btBoxShape>> shapes_;
  std::vector<std::unique_ptr<btDefaultMotionState>> motions_;
  std::vector<std::unique_ptr<btRigidBody>> bodies_;
};

void BM_PeerStep(benchmark::State& state) {
  const auto specs =
      bench::Pile(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  bench::BuildBoxsim(specs);
  BulletWorld bullet(specs);
  using Clock = std::chrono::steady_clock;
  Clock::duration boxsim{}, peer{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    SimulationStep(bench::kStep);
    const auto t1 = Clock::now();
    bullet.Step();
    const auto t2 = Clock::now();
    boxsim += t1 - t0;
    peer += t2 - t1;
  }
  const double n = static_cast<double>(state.iterations());
  const double boxsim_ms = std::chrono::duration<double, std::milli>(boxsim).count() / n;
  const double bullet_ms = std::chrono::duration<double, std::milli>(peer).count() / n;
  state.counters["bodies"] = static_cast<double>(specs.size());
  state.counters["boxsim_ms"] = boxsim_ms;
  state.counters["bullet_ms"] = bullet_ms;
  state.counters["ratio"] = boxsim_ms / bullet_ms;
  ResetSimulation();
}
BENCHMARK(BM_PeerStep)
    ->Args({2, 0})
    ->Args({3, 0})
    ->Args({4, 0})
    ->Args({5, 0})
    ->Args({5, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
