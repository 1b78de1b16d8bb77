#include "zyl/components.h"

#include "brek/tracking.h"
#include "zyl/extraction/watermark_formatter.h"

namespace zyl::components {
namespace {

Registry make_defaults() {
  Registry r;
  r.load_tether = config::tether::load_tether;
  r.optimize_extractions = federation::optimizer::optimize_extractions;
  r.format_watermark = extraction::watermark_formatter::format_watermark;
  r.track_zyl_extraction = brek::tracking::track_zyl_extraction;
  r.track_zyl_retract = brek::tracking::track_zyl_retract;
  return r;
}

}  // namespace

Registry& registry() {
  static Registry r = make_defaults();
  return r;
}

ScopedOverride::ScopedOverride() : saved_(registry()) {}
ScopedOverride::~ScopedOverride() { registry() = saved_; }

}  // namespace zyl::components
