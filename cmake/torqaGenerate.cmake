# torqa_generate_proxies(TARGET CONNECT STRING CLASSES Pkg.Class... [PASSWORD TEXT] [DEPENDS FILE...])
#
# Writes the typed proxy headers of the classes named (torqa generate) at
# build time into a directory of the build tree, before TARGET compiles, and
# puts that directory on TARGET's include path: class Sample.Person is then
# #include <Sample/Person.h>. The headers are written again when a file
# named after DEPENDS (a schema, say) or the torqa tool changes. The user is
# torqa; the password is PASSWORD, else the TORQA_PASSWORD environment
# variable at build time. A target may call it more than once (classes of
# several namespaces).
#
# TORQA_GENERATE_COMMAND names the torqa tool (set by the package, or by the
# project's own build) and TORQA_GENERATE_DEPENDS the targets it needs.
function(torqa_generate_proxies target)
  cmake_parse_arguments(arg "" "CONNECT;PASSWORD" "CLASSES;DEPENDS" ${ARGN})
  if(NOT arg_CONNECT OR NOT arg_CLASSES)
    message(FATAL_ERROR "torqa_generate_proxies(${target}): CONNECT and CLASSES are required")
  endif()
  # The first set of a target is <target>_proxies, later ones numbered.
  get_property(sets TARGET ${target} PROPERTY TORQA_PROXY_SETS)
  math(EXPR sets "0${sets} + 1")
  set_property(TARGET ${target} PROPERTY TORQA_PROXY_SETS ${sets})
  set(name ${target}_proxies)
  if(sets GREATER 1)
    string(APPEND name ${sets})
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${name})
  set(headers)
  foreach(cls ${arg_CLASSES})
    string(REPLACE "." "/" path ${cls})
    list(APPEND headers ${dir}/${path}.h)
  endforeach()
  set(env)
  if(DEFINED arg_PASSWORD)
    set(env ${CMAKE_COMMAND} -E env TORQA_PASSWORD=${arg_PASSWORD})
  endif()
  add_custom_command(
    OUTPUT ${headers}
    COMMAND ${env} ${TORQA_GENERATE_COMMAND} --connect ${arg_CONNECT} generate --output ${dir} ${arg_CLASSES}
    DEPENDS ${TORQA_GENERATE_DEPENDS} ${arg_DEPENDS}
    COMMENT "Generating the proxies of ${arg_CLASSES}"
    VERBATIM)
  add_custom_target(${name} DEPENDS ${headers})
  add_dependencies(${target} ${name})
  target_include_directories(${target} PRIVATE ${dir})
endfunction()
