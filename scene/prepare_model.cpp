#include "scene/preparation.h"

namespace {

// The model is prepared at every start-up; the engine's choice of arithmetic
// outlives the start-ups, which the tools and tests repeat.
Estimates prepared_with = default_estimates;

}  // namespace

void prepare_model(Estimates estimates) {
    restore_initial_model();
    normalize_light_directions(lights, light_count, estimates);
    centre_and_scale_model(vertex_count, model_vertices, estimates);
    compute_face_normals();
    compute_vertex_normals();
    prepared_with = estimates;
}

Estimates model_estimates() { return prepared_with; }
