#pragma once
// One set of faces from the two BlazeFace networks: each face once, with the
// close-up network's box where it sees the face and the small-face network's
// box, brought to the same convention, where only that one does. A face
// crossing from one network's range into the other's keeps one box that
// moves smoothly, and faces mode's largest face is text mode's.
#include <vector>

#include "platform/blazeface_decoding.hpp"

namespace vision {

// The small-face network's box of a face as the close-up network draws it:
// the two agree on the centre; the close-up box is larger, by 9 % for faces
// up to 12 % of the frame's width (the close-up network's smallest, where a
// moving face passes from one network to the other) and by 1 % from 20 % on,
// in between by a share of each (medians over the faces of the evaluation
// set that both find).
FaceBox asCloseUpBox(const FaceBox& small);

// Whether two boxes are one face: they overlap by more than `overlap`
// (intersection over union), or the smaller lies mostly (more than half of
// it) inside the larger: faces do not stand inside one another, but a network
// sometimes boxes part of a face that fills the frame.
bool sameFace(const FaceBox& a, const FaceBox& b, float overlap);

// Both networks' faces, each already suppressed within its network, in
// fractions of the frame; small-face boxes are converted first. Greedy
// suppression across both, highest score first: the best box left is a face,
// and every box that is the same face goes. The face takes the box of the
// close-up network's best box that overlaps it (by more than `overlap`), so
// that a face keeps that network's geometry wherever the network sees it; a
// box that only lies inside or around a better one (a network boxing a face
// out of its range draws one of the wrong size, with a lower score than the
// network whose range it is) gives nothing. The result is ordered by score,
// highest first.
std::vector<FaceBox> mergeFaces(const std::vector<FaceBox>& closeUp,
                                const std::vector<FaceBox>& small, float overlap);

}  // namespace vision
