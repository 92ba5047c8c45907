#include "response/resting.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>

#include "collision/cdetector.h"
#include "collision/pair_threads.h"
#include "integration/ode_solver.h"
#include "response/csolver.h"
#include "response/parts.h"
#include "response/trace.h"

namespace {

// A body's trial pose on a copy of its box, so that the pairs of several
// bodies can be tested at once without moving any real body.
struct Shadows {
  std::vector<std::unique_ptr<RBody>> of;

  RBody* For(std::size_t i, const RBody& b) {
    if (of.size() <= i)
      of.resize(i + 1);
    std::unique_ptr<RBody>& s = of[i];
    const double size[3] = {b.width, b.height, b.depth};
    if (s == nullptr || std::memcmp(size, &s->width, sizeof size) != 0)
      s = std::make_unique<RBody>(b.density, b.width, b.height, b.depth, b.name);
    return s.get();
  }
};

// A record made on a shadow, handed over to the body it stands for: the
// shadow's faces and edges are the body's, at the same places.
void Rebind(Collision* c, const RBody* shadow, RBody* body) {
  c->bodies[0] = body;
  for (CollisionPoint& cp : c->points[0])
    if (cp.eA != nullptr)
      cp.eA = &body->edges[static_cast<std::size_t>(cp.eA - shadow->edges.data())];
  for (CollisionPoint& cp : c->points[1])
    if (cp.f != nullptr)
      cp.f = &body->faces[static_cast<std::size_t>(cp.f - shadow->faces.data())];
}

struct RecycleRecord {
  void operator()(Collision* record) const { CDetector::Recycle(record); }
};
using Record = std::unique_ptr<Collision, RecycleRecord>;

void CopyRing(const RBody& from, RBody* to) {
  std::copy(std::begin(from.recent_cols), std::end(from.recent_cols), std::begin(to->recent_cols));
  to->recent_cols_last = from.recent_cols_last;
  to->recent_cols_size = from.recent_cols_size;
}

// A part's contacts and bodies (see BodyParts).
struct Part {
  struct Contact {
    int lvl;
    std::size_t op;  // its place in the levels' lists, all levels in a row
    Collision* c;
  };
  struct Member {
    int lvl;
    RBody* body;
  };
  std::vector<Contact> contacts;  // in the order of the levels' lists
  std::vector<Member> bodies;     // by level
  std::size_t least_node = 0;     // of its bodies, the least place in the body list
};

// Takes a contact's solve's reports, to be held until the solves before it
// have reported: its level record, and the point of its impulse if any.
class ReportTo : public Trace::Sink {
 public:
  // Where the next solve's reports go, cleared.
  void Open(Trace::Report* report) {
    at = report;
    *at = Trace::Report();
  }
  void StateRecord() override {}
  void Level(int lvl, int a, int b) override {
    assert(!at->has_level);  // one level a solve
    at->has_level = true;
    at->lvl = lvl;
    at->a = a;
    at->b = b;
  }
  void Point(const Vector3& max_point, double depth) override {
    assert(!at->has_point);  // one impulse a solve
    at->has_point = true;
    at->point = max_point;
    at->depth = depth;
  }

 private:
  Trace::Report* at = nullptr;
};

// Level by level as the whole pass: a level's contacts, then its bodies
// frozen; all thawed at the end.
template <typename Solve>
void FrozenPass(const Part& part, int max_level, Solve solve) {
  std::size_t c = 0, m = 0;
  for (int lvl = 0; lvl <= max_level; ++lvl) {
    for (; c < part.contacts.size() && part.contacts[c].lvl == lvl; ++c)
      solve(part.contacts[c]);
    for (; m < part.bodies.size() && part.bodies[m].lvl == lvl; ++m)
      part.bodies[m].body->is_frozen = true;
  }
  for (const Part::Member& member : part.bodies)
    member.body->is_frozen = false;
}

}  // namespace

namespace Resting {

void SolveAll(std::vector<RBody*>* bodies, double delta_time) {
  // Edges point into body_vector, so it is sized once per call and never
  // resized while in use. Its nodes stay from call to call, so their edge
  // lists keep their storage; like the other kept storage here, that makes
  // this a function for one thread, not to be entered twice at once.
  static std::vector<RestingBody> body_vector;
  body_vector.resize(bodies->size());
  for (std::size_t i = 0; i < bodies->size(); ++i) {
    RestingBody& node = body_vector[i];
    node.body = (*bodies)[i];
    node.level = -2;
    node.collisions.clear();
  }

  // Contact graph: body i, moved by one trial position step, against body j
  // where it stands. A touching pair normally yields two records, one from
  // each side.
  // The trial step depends on body i alone (its state, and forces already
  // reset), so it is taken once per body, not once per partner: the same
  // pose, bit for bit, as stepping again from the restored state.
  std::vector<Record> records;
  auto add_record = [&](std::size_t i, std::size_t j, Record record) {
    if (!record->points[0].empty() || !record->points[1].empty()) {
      // Its points stay as they are until the end of this call.
      record->keep_evaluations = true;
      body_vector[i].collisions.push_back(RestingCollision{record.get(), &body_vector[j]});
      body_vector[j].collisions.push_back(RestingCollision{record.get(), &body_vector[i]});
      records.push_back(std::move(record));
    }
  };
  const std::size_t n = body_vector.size();
  if (n < PairThreads::kFrom) {
    for (std::size_t i = 0; i < n; ++i) {
      RBody* bi = body_vector[i].body;
      const RBState saved = bi->State();
      ODESolver::EulerStepPos(*bi, delta_time);
      for (std::size_t j = 0; j < n; ++j) {
        RBody* bj = body_vector[j].body;
        if (i != j && !CDetector::SpheresApart(bi, bj) && CDetector::DetectCollision(bi, bj))
          add_record(i, j, Record(CDetector::GetCollisionPoints(bi, bj)));
      }
      bi->ApplyState(saved);
    }
  } else {
    // Two passes. The first, on both threads, moves each body's shadow by
    // the trial step and runs every test that reads poses alone: the axis
    // tests and the contact points of pairs no axis separates. The second,
    // in the order above, does what depends on the contact rings, which
    // every record changes for the pairs after it: the remembered-point
    // tests of separated pairs, and remembering each record's points.
    static Shadows shadows;
    static std::vector<std::vector<PairThreads::Found>> found;
    static CDetector::SphereColumns spheres;
    std::vector<RBody*> trial(n);
    spheres.Resize(n);
    for (std::size_t i = 0; i < n; ++i)
      trial[i] = shadows.For(i, *body_vector[i].body);
    // Made here, each body's on either thread: the first pass only reads them.
    const std::function<void(std::size_t)> make_world = [&](std::size_t i) {
      body_vector[i].body->World();
      spheres.Set(i, CDetector::SphereOf(body_vector[i].body));
    };
    PairThreads::Run(n, make_world);
    spheres.Group();
    found.resize(std::max(found.size(), n));
    const std::function<void(std::size_t)> first_pass = [&](std::size_t i) {
      const RBody& bi = *body_vector[i].body;
      RBody* si = trial[i];
      si->ApplyState(bi.State());
      si->is_static = bi.is_static;
      si->is_frozen = bi.is_frozen;
      ODESolver::EulerStepPos(*si, delta_time);
      const CDetector::Sphere moved = CDetector::SphereOf(si);
      std::vector<PairThreads::Found>& out = found[i];
      out.clear();
      spheres.ForNear(moved, 0, i, [&](std::size_t j) {
        if (Collision* record = PairThreads::Test(si, body_vector[j].body, j, &out)) {
          Rebind(record, si, body_vector[i].body);
          // Evaluated here, at the real poses the solvers will find.
          record->keep_evaluations = true;
          CSolver::PrepareEvaluations(record);
        }
      });
    };
    PairThreads::Run(n, first_pass);

    static CDetector::RingsWithinPass rings;
    rings.Reset(n);
    for (std::size_t i = 0; i < n; ++i) {
      RBody* bi = body_vector[i].body;
      RBody* si = trial[i];
      for (const PairThreads::Found& pair : found[i]) {
        RBody* bj = body_vector[pair.j].body;
        Record record(pair.record);
        if (record == nullptr) {
          // RingsAccept, its pose part taken in the first pass; the shadow's
          // ring would be the body's.
          if (pair.clears_rings && rings.Within(i, bi, pair.j, bj))
            continue;
          // The shadow carries the body's ring as it stands now.
          CopyRing(*bi, si);
          if (!CDetector::RecentPointInside(si, bj))
            continue;
          record.reset(CDetector::GetCollisionPoints(si, bj, false));
          Rebind(record.get(), si, bi);
        }
        rings.Remember(*record, i, pair.j);
        add_record(i, pair.j, std::move(record));
      }
    }
  }

  // Breadth-first from the static bodies: a node's level is the fewest
  // contacts between it and any static body.
  std::vector<RestingBody*> body_queue;
  for (RestingBody& node : body_vector) {
    if (node.body->is_static) {
      node.level = -1;
      body_queue.push_back(&node);
    }
  }
  int max_level = -1;
  for (std::size_t front = 0; front < body_queue.size(); ++front) {
    RestingBody* node = body_queue[front];
    max_level = std::max(max_level, node->level);
    for (const RestingCollision& edge : node->collisions) {
      if (edge.body->level == -2) {
        edge.body->level = node->level + 1;
        body_queue.push_back(edge.body);
      }
    }
  }

  // Level k holds the contacts from its nodes down to level k or below; a
  // contact inside a level is listed once per record. In a large scene the
  // contacts between movable bodies join them into parts.
  struct Listed {
    Collision* c;
    std::size_t node;  // the end whose level lists it, movable
  };
  const bool split = n >= PairThreads::kFrom;
  const std::size_t levels = static_cast<std::size_t>(max_level + 1);
  std::vector<std::vector<RestingBody*>> body_levels(levels);
  std::vector<std::vector<Listed>> collision_levels(levels);
  static BodyParts joined;
  joined.Reset(split ? n : 1);
  for (RestingBody& a : body_vector) {
    if (a.level < 0)
      continue;
    const std::size_t node = static_cast<std::size_t>(&a - body_vector.data());
    body_levels[a.level].push_back(&a);
    std::vector<Listed>& list = collision_levels[a.level];
    for (const RestingCollision& edge : a.collisions) {
      if (edge.body->level > a.level)
        continue;
      if (split && edge.body->level >= 0)
        joined.Join(node, static_cast<std::size_t>(edge.body - body_vector.data()));
      // A record is met twice only inside a level; it is listed where it was
      // met first, at the end that comes first.
      if (edge.body->level == a.level && edge.body < &a)
        continue;
      list.push_back(Listed{edge.collision, node});
    }
  }

  static std::vector<Part> parts;
  auto part_for = [&](std::size_t node) -> Part& {
    bool first;
    const std::size_t k = joined.Number(split ? node : 0, &first);
    if (first) {
      if (parts.size() <= k)
        parts.emplace_back();
      parts[k].contacts.clear();
      parts[k].bodies.clear();
      parts[k].least_node = node;
    }
    parts[k].least_node = std::min(parts[k].least_node, node);
    return parts[k];
  };
  std::size_t ops = 0;
  for (int lvl = 0; lvl <= max_level; ++lvl) {
    for (const Listed& l : collision_levels[lvl])
      part_for(l.node).contacts.push_back(Part::Contact{lvl, ops++, l.c});
    for (RestingBody* node : body_levels[lvl])
      part_for(static_cast<std::size_t>(node - body_vector.data()))
          .bodies.push_back(Part::Member{lvl, node->body});
  }

  const std::size_t part_count = joined.Count();
  Trace::Sink* trace = Trace::CurrentSink();
  if (trace != nullptr)
    trace->StateRecord();

  // Two impulse passes with every body movable: a slight negative
  // restitution first (single precision, as the peers agree on it), which
  // lets a resting contact absorb a little more than its approach, then none.
  // On two threads (sink given) a part's reports go to the places of its
  // solves, for handing on in the order of the whole pass.
  static std::vector<Trace::Report> reports;
  auto impulse_passes = [&](const Part& part, ReportTo* sink) {
    for (int iter = 1; iter >= 0; --iter) {
      const double elasticity = -0.1f * iter;
      for (const Part::Contact& contact : part.contacts) {
        if (sink != nullptr)
          sink->Open(&reports[static_cast<std::size_t>(1 - iter) * ops + contact.op]);
        if (trace != nullptr)
          Trace::CurrentSink()->Level(contact.lvl, contact.c->bodies[0]->id,
                                      contact.c->bodies[1]->id);
        CSolver::SolveContact(contact.c, 0, elasticity);
      }
    }
  };
  // Propagation: once a level is solved it is frozen, so the contacts above
  // it push only the bodies above, against fixed supports. Then the two
  // separation passes, the same way.
  auto frozen_passes = [&](const Part& part, ReportTo* sink) {
    FrozenPass(part, max_level, [&](const Part::Contact& contact) {
      if (sink != nullptr)
        sink->Open(&reports[2 * ops + contact.op]);
      CSolver::SolveContact(contact.c, 0, 0);
    });
    for (int pass = 0; pass < 2; ++pass)
      FrozenPass(part, max_level, [](const Part::Contact& contact) { Separation(contact.c); });
  };

  if (part_count <= 1) {
    if (part_count == 1)
      impulse_passes(parts[0], nullptr);
    if (trace != nullptr)
      trace->StateRecord();
    if (part_count == 1)
      frozen_passes(parts[0], nullptr);
    return;
  }

  for (RestingBody& node : body_vector)
    if (node.body->is_static)
      BodyParts::Share(node.body);
  // Each solve clears its own place, on its part's thread.
  if (trace != nullptr && reports.size() < 3 * ops)
    reports.resize(3 * ops);
  static std::vector<std::size_t> order;
  PlaceOrder(part_count, &order, [&](std::size_t k) { return parts[k].least_node; });
  auto run = [&](auto passes) {
    const std::function<void(std::size_t)> job = [&](std::size_t k) {
      const Part& part = parts[order[k]];
      if (trace == nullptr) {
        passes(part, nullptr);
        return;
      }
      ReportTo sink;
      Trace::Sink* before = Trace::SetThreadSink(&sink);
      passes(part, &sink);
      Trace::SetThreadSink(before);
    };
    PairThreads::Run(part_count, job);
  };
  run(impulse_passes);
  if (trace != nullptr) {
    trace->Replay(reports.data(), 2 * ops);
    trace->StateRecord();
  }
  run(frozen_passes);
  if (trace != nullptr)
    trace->Replay(reports.data() + 2 * ops, ops);
}

}  // namespace Resting

void Separation(Collision* collision) {
  RBody* A = collision->bodies[0];
  RBody* B = collision->bodies[1];
  // No depth margin here; approach faster than 1 mm/s.
  CSolver::ScanResult r = CSolver::ScanPoints(collision, 0.0, -0.001);
  const float max_depth = r.max_depth;
  if (max_depth <= 0)
    return;

  const bool a_fixed = A->is_static || A->is_frozen;
  const bool b_fixed = B->is_static || B->is_frozen;
  if (a_fixed && b_fixed)
    return;
  // 1 % of the depth per call: the rest is left to later steps, so a deep
  // contact is not resolved by a visible jump.
  if (a_fixed) {
    B->pos -= r.max_normal * (max_depth * 0.01);
  } else if (b_fixed) {
    A->pos += r.max_normal * (max_depth * 0.01);
  } else {
    // Rounded to single precision like the solvers' other locals.
    const float mass_sum = static_cast<float>(A->mass + B->mass);
    A->pos += r.max_normal * (max_depth * A->mass / mass_sum * 0.01);
    B->pos -= r.max_normal * (max_depth * B->mass / mass_sum * 0.01);
  }
}
