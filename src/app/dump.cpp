#include "app/dump.h"

#include "app/globals.h"

namespace global {

std::string DumpFileName(unsigned player_index) {
  const unsigned low = player_index & 0xffu;
  if ('0' + low > 0xffu)
    return "dump" + std::to_string(low) + ".txt";
  return std::string("dump") + static_cast<char>('0' + low) + ".txt";
}

void DumpInfo() {
  // A file that cannot be opened is retried at the next record; the writes in
  // between go nowhere.
  if (!dumpfile.is_open())
    dumpfile.open(DumpFileName(player_id), std::ios::out | std::ios::trunc);
  std::ofstream& f = dumpfile;
  f << "t: " << simulation_time << "\n";
  for (std::size_t i = 0; i < players.size(); ++i) {
    const Player& p = players[i];
    f << " p" << i << "input: " << p.forward << "," << p.backward << "," << p.left << "," << p.right
      << "\n";
  }
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    RBody* b = bodies[i];
    Quaternion q = b->GetAngPos();
    // Labels padded to 10 characters so the numbers line up.
    f << " body" << i << "\n";
    f << "  pos     " << b->pos.x() << "," << b->pos.y() << "," << b->pos.z() << "\n";
    f << "  vel     " << b->vel.x() << "," << b->vel.y() << "," << b->vel.z() << "\n";
    f << "  ang_vel " << b->ang_vel.x() << "," << b->ang_vel.y() << "," << b->ang_vel.z() << "\n";
    f << "  ang_pos " << q.s << "," << q.v.x() << "," << q.v.y() << "," << q.v.z() << "\n";
  }
  f << "\n";
}

void DumpLevels(int lvl, int a, int b) {
  dumpfile << " lvl" << lvl << " " << a << " " << b << "\n";
}

void DumpPoints(Vector3 max_point, double depth) {
  dumpfile << " mpoint: " << max_point.x() << "," << max_point.y() << "," << max_point.z() << "\n"
           << " " << depth << "\n";
}

}  // namespace global
