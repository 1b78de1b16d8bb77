#include "brek/artifacts/resources/base.h"

namespace brek::artifacts::resources::base {

void GraphResource::describe(ds::Fields<GraphResource>& f) {
  f.name("GraphResource");
  f.required("name", &GraphResource::name);
  f.required("package_name", &GraphResource::package_name);
  f.required("path", &GraphResource::path);
  f.required("original_file_path", &GraphResource::original_file_path);
  f.required("unique_id", &GraphResource::unique_id);
  f.required("fqn", &GraphResource::fqn);
}

}  // namespace brek::artifacts::resources::base
