#include "body/rbody.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

RBody::RBody(double dens, double x_size, double y_size, double z_size, const std::string& str)
    : density(dens),
      width(x_size),
      height(y_size),
      depth(z_size),
      is_static(false),
      is_frozen(false),
      rot_matrix_valid(false),
      recent_cols_last(0),
      recent_cols_size(0),
      name(str),
      elasticity(0.5) {
  // Mass is the volume on purpose: scenes were tuned with density unused.
  mass = width * height * depth;
  ang_pos = Quaternion(1, 0, 0, 0).Normalize();

  // Twice the solid-cuboid inertia; the doubled value damps spin and every
  // recorded trace depends on it.
  local_inertia(0, 0) = ((height * height + depth * depth) / 12) * mass * 2;
  local_inertia(1, 1) = ((width * width + depth * depth) / 12) * mass * 2;
  local_inertia(2, 2) = ((height * height + width * width) / 12) * mass * 2;
  inv_local_inertia = local_inertia.Inverse();

  colour = Vector3(0.5, 0.5, 1.0);

  const double hw = width / 2, hh = height / 2, hd = depth / 2;
  // vertices below run x, then y, then z from - to +; the sign bit, not a
  // comparison, so that a zero size keeps its -0.0 and +0.0 corners apart.
  auto corner_of = [](const Vector3& v) {
    return static_cast<std::size_t>((std::signbit(v.x()) ? 0 : 4) + (std::signbit(v.y()) ? 0 : 2) +
                                    (std::signbit(v.z()) ? 0 : 1));
  };
  auto add_edge = [&](const Vector3& a, const Vector3& b) {
    edges.push_back(Edge((a - b).Normalized(), a, b));
    edge_corners.push_back({corner_of(a), corner_of(b)});
  };
  // Faces normal to z, then y, then x, each with -1 before +1; every face
  // brings the two edges of its pass and sign. Collision ties are decided by
  // this order, so it is fixed.
  for (int sgn = -1; sgn <= 1; sgn += 2) {
    const double z = sgn * hd;
    Face f;
    f.vertices = {Vector3(-hw, -hh, z), Vector3(-hw, hh, z), Vector3(hw, hh, z),
                  Vector3(hw, -hh, z)};
    f.n = Vector3(0, 0, sgn);
    faces.push_back(f);
    add_edge(Vector3(-hw, -hh, z), Vector3(-hw, hh, z));
    add_edge(Vector3(hw, -hh, z), Vector3(hw, hh, z));
  }
  for (int sgn = -1; sgn <= 1; sgn += 2) {
    const double y = sgn * hh;
    Face f;
    f.vertices = {Vector3(-hw, y, -hd), Vector3(-hw, y, hd), Vector3(hw, y, hd),
                  Vector3(hw, y, -hd)};
    f.n = Vector3(0, sgn, 0);
    faces.push_back(f);
    add_edge(Vector3(hw, y, -hd), Vector3(-hw, y, -hd));
    add_edge(Vector3(hw, y, hd), Vector3(-hw, y, hd));
  }
  for (int sgn = -1; sgn <= 1; sgn += 2) {
    const double x = sgn * hw;
    Face f;
    f.vertices = {Vector3(x, -hh, -hd), Vector3(x, -hh, hd), Vector3(x, hh, hd),
                  Vector3(x, hh, -hd)};
    f.n = Vector3(sgn, 0, 0);
    faces.push_back(f);
    add_edge(Vector3(x, -hh, hd), Vector3(x, -hh, -hd));
    add_edge(Vector3(x, hh, hd), Vector3(x, hh, -hd));
  }

  for (int x = -1; x <= 1; x += 2)
    for (int y = -1; y <= 1; y += 2)
      for (int z = -1; z <= 1; z += 2)
        vertices.push_back(Vector3(width * x * 0.5, height * y * 0.5, depth * z * 0.5));
  vertex_columns.moderate = true;
  for (std::size_t k = 0; k < 8; ++k) {
    vertex_columns.Set(k, vertices[k]);
    for (int i = 0; i < 3; ++i)
      vertex_columns.moderate = vertex_columns.moderate && std::fabs(vertices[k].axes[i]) < 1e100;
  }

  bounding_radius = Vector3(hw, hh, hd).Length();
  const std::size_t edge_count = std::min<std::size_t>(edge_corners.size(), 12);
  for (unsigned set = 0; set < edges_within.size(); ++set) {
    std::uint16_t within = 0;
    for (std::size_t e = 0; e < edge_count; ++e)
      if ((set >> edge_corners[e][0] & 1) != 0 && (set >> edge_corners[e][1] & 1) != 0)
        within = static_cast<std::uint16_t>(within | 1u << e);
    edges_within[set] = within;
  }
  MakeLayout();
}

namespace {

bool SameBits(const Vector3& a, const Vector3& b) {
  return std::memcmp(a.axes, b.axes, sizeof a.axes) == 0;
}

}  // namespace

void RBody::MakeLayout() {
  Layout& l = layout_;
  l.split_corners = vertices.size() == 8;
  if (l.split_corners) {
    for (int j = 0; j < 3; ++j) {
      l.lo[j] = vertices[0].axes[j];
      l.hi[j] = vertices[7].axes[j];
    }
    for (std::size_t k = 0; k < 8; ++k) {
      const Vector3 v((k & 4) ? l.hi[0] : l.lo[0], (k & 2) ? l.hi[1] : l.lo[1],
                      (k & 1) ? l.hi[2] : l.lo[2]);
      l.split_corners = l.split_corners && SameBits(v, vertices[k]);
    }
  }
  l.opposite_faces = faces.size() == 6;
  for (std::size_t i = 0; l.opposite_faces && i < 6; i += 2)
    l.opposite_faces = faces[i + 1].n == faces[i].n * -1.0;
  for (std::size_t i = 0; i < 6; ++i) {
    l.face_corner[i] = -1;
    for (std::size_t k = 0; i < faces.size() && k < vertices.size() && l.face_corner[i] < 0; ++k)
      if (SameBits(faces[i].vertices[0], vertices[k]))
        l.face_corner[i] = static_cast<int>(k);
  }
  for (std::size_t e = 0; e < 12; ++e) {
    l.edge_first[e] = e;
    for (std::size_t f = 0; f < e && e < edges.size(); ++f) {
      if (SameBits(edges[f].dir, edges[e].dir)) {
        l.edge_first[e] = f;
        break;
      }
    }
  }
}

RBState RBody::State() const {
  return RBState(pos, vel, ang_pos, ang_vel);
}

void RBody::ApplyPos(const RBState& s) {
  pos = s.pos;
  ang_pos = s.ang_pos;
  rot_matrix_valid = false;
}

void RBody::ApplyVel(const RBState& s) {
  vel = s.vel;
  ang_vel = s.ang_vel;
}

void RBody::ApplyState(const RBState& s) {
  ApplyPos(s);
  ApplyVel(s);
}

void RBody::SetAngPos(const Quaternion& q) {
  ang_pos = q.Normalize();
  rot_matrix_valid = false;
}

Vector3 RBody::Forces(const RBState&) const {
  if (is_static || is_frozen)
    return Vector3(0, 0, 0);
  return forces;
}

Vector3 RBody::Torque(const RBState&) const {
  if (is_static || is_frozen)
    return Vector3(0, 0, 0);
  return torque;
}

void RBody::ResetForceTorque() {
  torque = Vector3(0, 0, 0);
  forces = Vector3(0, 0, 0);
}

RBState RBody::StateDerivative(const RBState& s) const {
  const Matrix3x3& inv_inertia = InvInertiaFor(RotationMatrix(s.ang_pos));
  RBState d;
  d.pos = s.vel;
  d.vel = Forces(s) / mass;
  // Quaternion rate 1/2 w q with w as a pure quaternion on the left. No
  // gyroscopic term: angular velocity changes through torque only.
  d.ang_pos = (Quaternion(0, s.ang_vel) * s.ang_pos) * 0.5;
  d.ang_vel = inv_inertia * Torque(s);
  return d;
}

Matrix3x3 RBody::RemakeRotationMatrix() {
  rot_matrix = RotationMatrix(ang_pos);
  rot_matrix_valid = true;
  world_geometry_valid = false;
  inv_inertia_now_ = nullptr;
  return rot_matrix;
}

namespace {

// Bit for bit, so -0.0 and NaNs are told apart as the products would.
bool SameBits(const Matrix3x3& a, const Matrix3x3& b) {
  // Written out: the lookups run a million times a second, and a loop here
  // is neither unrolled nor vectorised at this optimisation level.
  auto differ = [&](int i, int j) {
    std::uint64_t x, y;
    std::memcpy(&x, &a.values[i][j], sizeof x);
    std::memcpy(&y, &b.values[i][j], sizeof y);
    return x ^ y;
  };
  // A slot of another rotation usually differs in its first entry already;
  // the matrices that match take one branch more.
  if (differ(0, 0) != 0)
    return false;
  return (differ(0, 1) | differ(0, 2) | differ(1, 0) | differ(1, 1) | differ(1, 2) | differ(2, 0) |
          differ(2, 1) | differ(2, 2)) == 0;
}

}  // namespace

RBody::RotationPart& RBody::RotationSlot(const Matrix3x3& r) const {
  ++rotation_clock_;
  // Lookups come in runs of the same rotation.
  RotationPart& last = rotation_parts_[rotation_last_];
  if (last.valid && SameBits(last.r, r)) {
    last.used = rotation_clock_;
    return last;
  }
  RotationPart* stalest = nullptr;
  for (RotationPart& part : rotation_parts_) {
    if (part.valid && SameBits(part.r, r)) {
      part.used = rotation_clock_;
      rotation_last_ = static_cast<std::size_t>(&part - rotation_parts_);
      return part;
    }
    // An unused slot has used 0, the oldest of all. The world geometry's
    // slot stays: the geometry points into it.
    const bool pinned = static_cast<std::size_t>(&part - rotation_parts_) == world_slot_;
    if (!pinned &&
        (stalest == nullptr || rotation_clock_ - part.used > rotation_clock_ - stalest->used))
      stalest = &part;
  }
  RotationPart& part = *stalest;
  if (inv_inertia_now_ == &part)
    inv_inertia_now_ = nullptr;
  rotation_last_ = static_cast<std::size_t>(&part - rotation_parts_);
  part.used = rotation_clock_;
  part.r = r;
  part.valid = true;
  part.has_geometry = false;
  part.has_inertia = false;
  return part;
}

RBody::RotationPart& RBody::InertiaSlot(const Matrix3x3& r) const {
  RotationPart& part = RotationSlot(r);
  if (!part.has_inertia || !SameBits(part.inv_inertia_of, inv_local_inertia)) {
    part.inv_inertia = (r * inv_local_inertia) * r.Transpose();
    part.inv_inertia_of = inv_local_inertia;
    part.has_inertia = true;
  }
  return part;
}

const Matrix3x3& RBody::InvInertiaFor(const Matrix3x3& r) const {
  return InertiaSlot(r).inv_inertia;
}

const WorldGeometry& RBody::RemakeWorld() {
  // Moved, not turned: the turn's part stands, in its slot that stays pinned.
  if (rot_matrix_valid && world_geometry_valid)
    return PlaceWorld(*world_geometry.turn);
  const Matrix3x3 r = RotationMatrix();
  world_geometry_valid = false;
  world_slot_ = 4;
  RotationPart& part = RotationSlot(r);
  TurnGeometry& t = part.geometry;
  if (!part.has_geometry) {
    const Layout& l = layout_;
    if (l.split_corners) {
      // R v is (r0 v0 + r1 v1) + r2 v2 per row; each product takes one of
      // two values, and the first sum one of four.
      double product[3][3][2];
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
          product[i][j][0] = r.values[i][j] * l.lo[j];
          product[i][j][1] = r.values[i][j] * l.hi[j];
        }
      }
      for (std::size_t xy = 0; xy < 4; ++xy) {
        double first[3];
        for (int i = 0; i < 3; ++i)
          first[i] = product[i][0][xy >> 1] + product[i][1][xy & 1];
        for (std::size_t z = 0; z < 2; ++z)
          t.rotated_vertices[xy * 2 + z] =
              Vector3(first[0] + product[0][2][z], first[1] + product[1][2][z],
                      first[2] + product[2][2][z]);
      }
    } else {
      for (std::size_t k = 0; k < t.rotated_vertices.size(); ++k)
        t.rotated_vertices[k] = r * vertices[k];
    }
    t.rotated_moderate = true;
    for (const Vector3& v : t.rotated_vertices)
      t.rotated_moderate &= (std::fabs(v.axes[0]) < 1e99) & (std::fabs(v.axes[1]) < 1e99) &
                            (std::fabs(v.axes[2]) < 1e99);
    for (std::size_t i = 0; i < t.face_normals.size(); ++i) {
      t.face_normals[i] = r * faces[i].n;
      const int corner = l.face_corner[i];
      t.rotated_face_points[i] = corner >= 0 ? t.rotated_vertices[static_cast<std::size_t>(corner)]
                                             : r * faces[i].vertices[0];
    }
    // Negation is exact all the way through the cross products,
    // normalisation and projections the detector makes of these, so a line
    // met again can never change its result.
    t.edge_line_count = 0;
    std::array<Vector3, 12> turned;
    const std::size_t edge_count = std::min(edges.size(), turned.size());
    for (std::size_t m = 0; m < edge_count; ++m) {
      const std::size_t first = l.edge_first[m];
      if (first != m) {
        // The bits of an earlier edge's direction: that one is a line or
        // matched one, so this one matches too, unless a NaN compares false.
        turned[m] = turned[first];
        if (turned[m] == turned[m])
          continue;
      } else {
        turned[m] = r * edges[m].dir;
      }
      const Vector3& d = turned[m];
      bool seen = false;
      for (std::size_t k = 0; k < t.edge_line_count && !seen; ++k)
        seen = t.edge_lines[k] == d || t.edge_lines[k] == d * -1.0;
      if (!seen && t.edge_line_count < t.edge_lines.size())
        t.edge_lines[t.edge_line_count++] = d;
    }
    t.rotation = r;
    t.inverse_rotation = r.Inverse();
    const double half[3] = {width * 0.5, height * 0.5, depth * 0.5};
    t.extents_norm = 0;
    for (int j = 0; j < 3; ++j) {
      t.extents[j] =
          Vector3(r.values[0][j] * half[j], r.values[1][j] * half[j], r.values[2][j] * half[j]);
      for (int i = 0; i < 3; ++i)
        t.extents_norm += std::fabs(t.extents[j].axes[i]);
    }
    for (std::size_t i = 0; i < t.face_normals.size(); ++i) {
      const Vector3& n = t.face_normals[i];
      t.face_reach[i] =
          std::fabs(n * t.extents[0]) + std::fabs(n * t.extents[1]) + std::fabs(n * t.extents[2]);
      t.face_norm1[i] = std::fabs(n.axes[0]) + std::fabs(n.axes[1]) + std::fabs(n.axes[2]);
    }
    t.opposite_faces = l.opposite_faces;
    t.orthonormal = true;
    for (int i = 0; i < 3; ++i) {
      t.world_reach[i] = std::fabs(t.extents[0].axes[i]) + std::fabs(t.extents[1].axes[i]) +
                         std::fabs(t.extents[2].axes[i]);
      for (int j = 0; j < 3; ++j) {
        const double dot = r.values[0][i] * r.values[0][j] + r.values[1][i] * r.values[1][j] +
                           r.values[2][i] * r.values[2][j];
        t.orthonormal = t.orthonormal && std::fabs(dot - (i == j ? 1 : 0)) < 1e-9;
      }
    }
    part.has_geometry = true;
  }
  world_slot_ = static_cast<std::size_t>(&part - rotation_parts_);
  return PlaceWorld(t);
}

const WorldGeometry& RBody::PlaceWorld(const TurnGeometry& t) {
  // R v + pos and pos + R f: the sums the geometry was defined by.
  WorldGeometry& g = world_geometry;
  for (std::size_t k = 0; k < g.corners.size(); ++k) {
    g.corners[k] = t.rotated_vertices[k] + pos;
    g.columns.Set(k, g.corners[k]);
  }
  // Two values below 1e99 sum to below 1e100, even rounded; a NaN fails. A
  // pose that fails this though its corners are moderate only takes the
  // slower exact paths.
  const bool moderate = t.rotated_moderate && (std::fabs(pos.axes[0]) < 1e99) &&
                        (std::fabs(pos.axes[1]) < 1e99) && (std::fabs(pos.axes[2]) < 1e99);
  g.columns.moderate = moderate;
  for (std::size_t i = 0; i < g.face_points.size(); ++i)
    g.face_points[i] = pos + t.rotated_face_points[i];
  g.turn = &t;
  g.bound_scale =
      std::fabs(pos.axes[0]) + std::fabs(pos.axes[1]) + std::fabs(pos.axes[2]) + t.extents_norm;
  // Far from overflow and from subnormals, where rounding is relative.
  g.bounded = moderate && g.bound_scale > 1e-200 && g.bound_scale < 1e100;
  world_geometry_pos = pos;
  world_geometry_valid = true;
  return g;
}

Matrix3x3 RBody::RotationMatrix(const Quaternion& q) {
  const double s = q.s, x = q.v.x(), y = q.v.y(), z = q.v.z();
  Matrix3x3 m;
  m.values[0][0] = 1 - 2 * y * y - 2 * z * z;
  m.values[0][1] = 2 * x * y - 2 * s * z;
  m.values[0][2] = 2 * x * z + 2 * s * y;
  m.values[1][0] = 2 * x * y + 2 * s * z;
  m.values[1][1] = 1 - 2 * x * x - 2 * z * z;
  m.values[1][2] = 2 * y * z - 2 * s * x;
  m.values[2][0] = 2 * x * z - 2 * s * y;
  m.values[2][1] = 2 * y * z + 2 * s * x;
  m.values[2][2] = 1 - 2 * x * x - 2 * y * y;
  return m;
}

Vector3 RBody::PointLocalToGlobal(const Vector3& v) {
  return RotationMatrix() * v + pos;
}

Vector3 RBody::VectorLocalToGlobal(const Vector3& v) {
  return RotationMatrix() * v;
}

// The general inverse, not the transpose: both peers must round alike.
Vector3 RBody::PointGlobalToLocal(const Vector3& v) {
  return RotationMatrix().Inverse() * (v - pos);
}

Vector3 RBody::VectorGlobalToLocal(const Vector3& v) {
  return RotationMatrix().Inverse() * v;
}

Matrix3x3 RBody::InertiaTensor() {
  Matrix3x3 r = RotationMatrix();
  return r * local_inertia * r.Transpose();
}

Matrix3x3 RBody::InvInertiaTensor() {
  return KeptInvInertiaTensor();
}

const Matrix3x3& RBody::KeptInvInertiaTensor() {
  // The solvers ask for it twice per contact at a rotation that stays put.
  if (rot_matrix_valid && inv_inertia_now_ != nullptr &&
      SameBits(inv_inertia_now_->inv_inertia_of, inv_local_inertia))
    return inv_inertia_now_->inv_inertia;
  inv_inertia_now_ = &InertiaSlot(RotationMatrix());
  return inv_inertia_now_->inv_inertia;
}

void RBody::RememberColPoint(const Vector3& p) {
  recent_cols[recent_cols_last] = p;
  recent_cols_last = (recent_cols_last + 1) % 4;
  if (recent_cols_size < 4)
    recent_cols_size++;
}

void RBody::PushState() {
  past_states.push_back(State());
  ContactRing ring;
  for (int i = 0; i < 4; ++i)
    ring.points[i] = recent_cols[i];
  ring.last = recent_cols_last;
  ring.size = recent_cols_size;
  past_cols.push_back(ring);
  if (past_states.size() > kHistoryLength)
    past_states.pop_front();
  if (past_cols.size() > kHistoryLength)
    past_cols.pop_front();
}

void RBody::RevertState(int backward_count) {
  if (backward_count <= 0 || past_states.empty())
    return;
  // Asked for more than the history holds, go back as far as it reaches: the
  // oldest state is one the body really had.
  std::size_t count = static_cast<std::size_t>(backward_count);
  if (count > past_states.size())
    count = past_states.size();
  // The rings go back with the states while the two lists run in step (a
  // history filled entry by entry from outside has no rings).
  if (past_cols.size() == past_states.size()) {
    past_cols.erase(past_cols.end() - static_cast<std::ptrdiff_t>(count - 1), past_cols.end());
    const ContactRing& ring = past_cols.back();
    for (int i = 0; i < 4; ++i)
      recent_cols[i] = ring.points[i];
    recent_cols_last = ring.last;
    recent_cols_size = ring.size;
    past_cols.pop_back();
  }
  past_states.erase(past_states.end() - static_cast<std::ptrdiff_t>(count - 1), past_states.end());
  ApplyState(past_states.back());
  past_states.pop_back();
}
