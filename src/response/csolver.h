#pragma once

#include <vector>

#include "body/rbody.h"
#include "math/vector3.h"

struct Collision;

// Normal impulse with restitution, then a friction impulse, both at world
// point p. n is the world contact normal, unit length, from B towards A.
// default_ela takes the restitution from the bodies' elasticity fields,
// otherwise elasticity is used. Static and frozen bodies are immovable here
// and never written. Only vel and ang_vel change.
void SolveOnePoint(Vector3 p, Vector3 n, RBody* A, RBody* B, bool default_ela, double elasticity);

namespace CSolver {

// The contact a solver acts on: the deepest point at which the bodies
// approach, as found by the point scan.
struct ScanResult {
  float max_depth;     // -1 when no point qualified
  Vector3 max_point;   // world
  Vector3 max_normal;  // world, from bodies[1] towards bodies[0]
};

// Point scan shared by the solvers and Separation: a point replaces the
// current choice only when deeper by more than depth_margin and approaching
// faster than approach_threshold (a negative relative normal speed). When
// point_sum and depth_sum are given, every point adds to them, chosen or not.
ScanResult ScanPoints(Collision* collision, double depth_margin, double approach_threshold,
                      Vector3* point_sum = nullptr, float* depth_sum = nullptr);

// For a record with keep_evaluations: makes its points' evaluations at the
// bodies' present poses unless they are made already. Reads the bodies and
// writes the record alone. A scan with sums does it itself; one without
// reads kept ones that hold, and marks the others as gone.
void PrepareEvaluations(Collision* collision);

// Solves the records last to first, deletes each and leaves the list empty.
void SolveAllCollisions(std::vector<Collision*>* collisions, double delta_time);
// One impulse at the deepest approaching point; restitution from the bodies.
void SolveCollision(Collision* collision, double delta_time);
// One impulse at the depth-weighted mean of all the pair's points, along the
// normal of the deepest approaching one; restitution given by the caller.
void SolveContact(Collision* collision, double delta_time, double elasticity);

}  // namespace CSolver
