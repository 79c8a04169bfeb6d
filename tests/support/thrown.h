// Errors in a compact form that one assertion can compare.
#pragma once

#include <torqa/errors.h>

#include <string>

namespace torqa::test {

/// An error record as "<code> <message>".
inline std::string described(const Db_err& e) { return std::to_string(e.code) + " " + e.msg; }

/// What `f` throws as a Db_err, described, followed by the details of the
/// two subclasses: " (open <srv_code>)", " (close <detail1> <detail2>)".
template <class F>
std::string thrown(F f) {
  try {
    f();
  } catch (const Err_open_obj& e) {
    return described(e) + " (open " + std::to_string(e.srv_code) + ")";
  } catch (const Err_close_obj& e) {
    return described(e) + " (close " + std::to_string(e.detail1) + " " + std::to_string(e.detail2) + ")";
  } catch (const Db_err& e) {
    return described(e);
  }
  return "nothing thrown";
}

}  // namespace torqa::test
