#include "math/matrix3x3.h"

Matrix3x3::Matrix3x3(double a) : values{{a, a, a}, {a, a, a}, {a, a, a}} {}

Matrix3x3 Matrix3x3::operator+(const Matrix3x3& m) const {
  Matrix3x3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r.values[i][j] = values[i][j] + m.values[i][j];
  return r;
}

Matrix3x3 Matrix3x3::operator-(const Matrix3x3& m) const {
  Matrix3x3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r.values[i][j] = values[i][j] - m.values[i][j];
  return r;
}

Matrix3x3 Matrix3x3::operator*(double a) const {
  Matrix3x3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r.values[i][j] = values[i][j] * a;
  return r;
}

Matrix3x3 Matrix3x3::operator/(double a) const {
  Matrix3x3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r.values[i][j] = values[i][j] / a;
  return r;
}

bool Matrix3x3::operator==(const Matrix3x3& m) const {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (values[i][j] != m.values[i][j])
        return false;
  return true;
}

Matrix3x3 Matrix3x3::Inverse() const {
  const double m00 = values[0][0], m01 = values[0][1], m02 = values[0][2];
  const double m10 = values[1][0], m11 = values[1][1], m12 = values[1][2];
  const double m20 = values[2][0], m21 = values[2][1], m22 = values[2][2];
  double det =
      m00 * (m11 * m22 - m12 * m21) - m01 * (m10 * m22 - m12 * m20) + m02 * (m10 * m21 - m11 * m20);
  double inv_det = 1.0 / det;
  Matrix3x3 r;
  r.values[0][0] = m11 * m22 - m12 * m21;
  r.values[0][1] = m02 * m21 - m01 * m22;
  r.values[0][2] = m01 * m12 - m02 * m11;
  r.values[1][0] = m12 * m20 - m10 * m22;
  r.values[1][1] = m00 * m22 - m02 * m20;
  r.values[1][2] = m02 * m10 - m00 * m12;
  r.values[2][0] = m10 * m21 - m11 * m20;
  r.values[2][1] = m01 * m20 - m00 * m21;
  r.values[2][2] = m00 * m11 - m01 * m10;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r.values[i][j] = r.values[i][j] * inv_det;
  return r;
}

Matrix3x3 Matrix3x3::ColumnCross(const Vector3& v) const {
  Matrix3x3 r;
  for (int j = 0; j < 3; ++j) {
    Vector3 c = Vector3(values[0][j], values[1][j], values[2][j]) ^ v;
    for (int i = 0; i < 3; ++i)
      r.values[i][j] = c.axes[i];
  }
  return r;
}

Edge Matrix3x3::operator*(const Edge& e) const {
  return Edge(*this * e.dir, *this * e.a, *this * e.b);
}
