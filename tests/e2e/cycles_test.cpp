// Objects that refer to themselves or to each other are released with their
// session (a leak shows under the sanitizers' leak check at exit).
#include "e2e_util.h"

namespace torqa::e2e {
namespace {

class e2e_cycles : public e2e_test {};

TEST_P(e2e_cycles, reference_cycles_end_with_the_session) {
  d_ref<Dyn_obj> ann = person("Ann");
  ann->set(U(u"Spouse"), ann);
  ASSERT_EQ(save(ann), 0);
  d_ref<Dyn_obj> friends = ann->get_ref<Dyn_obj>(U(u"Friends"));
  D_type* args[] = {&ann};
  friends->run_method_by_name(m_Insert, args, 1);
  ASSERT_EQ(save(ann), 0);
  const std::string id = id_of(ann);
  friends = d_ref<Dyn_obj>();
  ann = d_ref<Dyn_obj>();
  restart();
  d_ref<Dyn_obj> again = Dyn_obj::open(*db, U(u"Sample.Person"), U(std::u16string(id.begin(), id.end()).c_str()));
  EXPECT_EQ(again->get_ref<Dyn_obj>(U(u"Spouse")).get_proxy(), again.get_proxy());
}

INSTANTIATE_TEST_SUITE_P(settings, e2e_cycles, all_configs(), [](const auto& info) { return name_of(info.param); });

}  // namespace
}  // namespace torqa::e2e
