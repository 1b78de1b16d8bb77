#include "brek/artifacts/resources/v1/owner.h"

namespace brek::artifacts::resources::v1::owner {

void Owner::describe(ds::Fields<Owner>& f) {
  f.name("Owner");
  f.field("email", &Owner::email);
  f.field("name", &Owner::name);
}

}  // namespace brek::artifacts::resources::v1::owner
