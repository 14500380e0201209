// Finding the pupil and the iris (limbus) in a grey picture of an eye.
//
// Coordinates are those of the picture: origin at the top-left corner, x to the
// right, y down, pixel (i, j) covering [i, i + 1) x [j, j + 1), so its centre is at
// (i + 0.5, j + 0.5).
//
// The method, coarse to fine:
//  1. The picture is box-averaged to about 120 pixels on its short side, and small
//     bright blobs (specular highlights, the illuminator's spot of a near-infrared
//     camera) are filled with the level around them.
//  2. Every strong edge votes, against its gradient (dark inside), for the centres of
//     the circles it could belong to; the best few peaks are candidate eye centres.
//  3. Around each candidate an integro-differential search looks for the pair of
//     radii with the largest summed outward step of the mean level: on whole circles
//     for the pupil, on the side arcs only for the iris (the lids hide top and bottom).
//  4. On the full picture, rays from the coarse centre find each boundary's edge to a
//     fraction of a pixel, and a least-squares circle is fitted with outlying edges
//     (highlights, lashes, lids) dropped.
// Nothing depends on the eye being lighter or darker than its skin, so visible-light
// and near-infrared eyes are read alike.
#pragma once

#include "iris/grey.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace okuva::iris {

// The smallest picture side analysed; smaller pictures have no circles.
constexpr int32_t kMinPictureSide = 64;

struct Circle {
  double x = 0;
  double y = 0;
  double radius = 0;
  double confidence = 0;  // 0..1: share of the boundary found times the edge's strength
};

struct EyeCircles {
  std::optional<Circle> pupil;
  std::optional<Circle> iris;
  // Signed distance (pixels) from the fitted circle of each pupil edge the fit kept
  // (edges of highlights, lashes and lids are dropped), for the boundary's
  // circularity; `pupilRays` rays were cast.
  std::vector<double> pupilResiduals;
  int32_t pupilRays = 0;
};

// Both circles, or neither: an iris without a pupil inside it is not reported. A
// plane that is not Valid() or has a side under kMinPictureSide gives none.
EyeCircles FindCircles(const GreyPlane& picture);

// Bilinear level at a point of the picture (edges clamped). For tests and metrics.
double Sample(const GreyPlane& picture, double x, double y);

}  // namespace okuva::iris
