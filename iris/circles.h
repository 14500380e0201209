// Finding the pupil and the iris (limbus) in a grey picture of an eye.
//
// Coordinates are those of the picture: origin at the top-left corner, x to the
// right, y down, pixel (i, j) covering [i, i + 1) x [j, j + 1), so its centre is at
// (i + 0.5, j + 0.5).
//
// The method, coarse to fine, with no absolute grey level and no one image scale:
//  1. The picture is box-averaged to about 120 pixels on its short side. Its contrast
//     C is the spread between the 2nd and 90th percentiles of its levels; every step
//     and threshold is a share of C, so dark soft near-infrared eyes and bright
//     daylight ones are read alike. Small compact blobs far brighter than its 95th
//     percentile (specular highlights, the illuminator's spot) are filled, with a
//     halo as wide as their own radius, from the darker side of their border, and
//     marked so that no later edge is read across them nor any pupil level taken
//     from them. Black bands padding a shifted crop are left out first.
//  2. Candidate centres: peaks of a vote in which every strong edge votes, against
//     its gradient (dark inside), for the centres of the circles it could belong to,
//     and the centroids of the compact dark regions under a few levels just above
//     the picture's dark percentile.
//  3. Around each candidate an integro-differential search looks for the pair of
//     radii with the largest summed outward step of the mean level, each step taken
//     over a distance that grows with the radius tested (soft edges count whole): on
//     whole circles for the pupil, whose inside must be evenly dark and near the
//     picture's darkest level (a dark iris around the pupil is neither); on the side
//     arcs only for the iris (the lids hide top and bottom), where the innermost
//     strong rise is the limbus (lid margins, skin folds and shaded sclera beyond it
//     rise too) and a ring holding levels brighter than its boundary's inside is
//     penalised.
//  4. On the full picture, rays from the coarse centre find each boundary's edge to a
//     fraction of a pixel (on iris rays the innermost clear rise, as lids and skin
//     beyond the limbus may rise further), and a least-squares circle is fitted with outlying edges
//     (highlights, lashes, lids) dropped, and pupil edges that a highlight hides
//     kept only where they follow the clear ones; the iris, seen on its sides only, has its
//     centre's height weighed against the pupil's (the two lie within about a tenth
//     of R), so clean arcs move it and noisy ones leave it near the pupil's.
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
  // 0..1, the same for both circles of a pair: how strongly the picture shows this
  // pupil and iris (see kMinConfidence).
  double confidence = 0;
};

// Pairs of circles under this confidence are not reported: on real eyes the pairs
// below it are mostly wrong ones (a dark iris read as the pupil, a limbus run onto
// the lids), and no circles is the honest answer.
constexpr double kMinConfidence = 0.2;

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
