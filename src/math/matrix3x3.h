#pragma once

#include "math/edge.h"
#include "math/vector3.h"

// Row-major 3x3 matrix; vectors are columns multiplied from the right.
class Matrix3x3 {
 public:
  double values[3][3];

  Matrix3x3();
  // Every element a, off the diagonal too.
  explicit Matrix3x3(double a);
  Matrix3x3(const Matrix3x3&) = default;

  // Indices wrap modulo 3, so they never leave the matrix.
  double& operator()(unsigned char i, unsigned char j) { return values[i % 3][j % 3]; }
  double operator()(unsigned char i, unsigned char j) const { return values[i % 3][j % 3]; }

  Matrix3x3 operator*(const Matrix3x3& m) const;
  Matrix3x3 operator+(const Matrix3x3& m) const;
  Matrix3x3 operator-(const Matrix3x3& m) const;
  Matrix3x3 operator*(double a) const;
  Matrix3x3 operator/(double a) const;
  Matrix3x3 operator=(const Matrix3x3& m);
  bool operator==(const Matrix3x3& m) const;

  Matrix3x3 Transpose() const;
  // Adjugate over determinant; singular input is the caller's problem.
  Matrix3x3 Inverse() const;
  // Column j of the result is (column j of this) x v.
  Matrix3x3 ColumnCross(const Vector3& v) const;

  Vector3 operator*(const Vector3& v) const;
  // Rotates dir, a and b alike; no translation.
  Edge operator*(const Edge& e) const;
};

// Inline like the Vector3 operators.
inline Matrix3x3::Matrix3x3() : values{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}} {}

inline Matrix3x3 Matrix3x3::operator*(const Matrix3x3& m) const {
  Matrix3x3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r.values[i][j] = values[i][0] * m.values[0][j] + values[i][1] * m.values[1][j] +
                       values[i][2] * m.values[2][j];
  return r;
}

inline Matrix3x3 Matrix3x3::operator=(const Matrix3x3& m) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      values[i][j] = m.values[i][j];
  return *this;
}

inline Matrix3x3 Matrix3x3::Transpose() const {
  Matrix3x3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r.values[i][j] = values[j][i];
  return r;
}

inline Vector3 Matrix3x3::operator*(const Vector3& v) const {
  return Vector3(values[0][0] * v.axes[0] + values[0][1] * v.axes[1] + values[0][2] * v.axes[2],
                 values[1][0] * v.axes[0] + values[1][1] * v.axes[1] + values[1][2] * v.axes[2],
                 values[2][0] * v.axes[0] + values[2][1] * v.axes[1] + values[2][2] * v.axes[2]);
}
