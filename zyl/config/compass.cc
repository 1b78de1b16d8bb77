// Placeholder until model path resolution lands.
#include "zyl/config/compass.h"

#include <stdexcept>

namespace zyl::config::compass {

ResolvedModel resolve_model_path(const brek::Node&, const brek::Manifest&, const std::string&,
                                 const tether::SourceConnectionMap&,
                                 const std::optional<std::string>&) {
  throw std::logic_error("resolve_model_path is not available yet");
}

Resolutions resolve_all_models(const brek::Manifest&, const std::string&,
                               const tether::SourceConnectionMap&,
                               const std::optional<std::string>&) {
  throw std::logic_error("resolve_all_models is not available yet");
}

}  // namespace zyl::config::compass
