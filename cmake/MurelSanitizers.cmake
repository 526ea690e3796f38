# MUREL_SANITIZE applies to every target of the build, so that the library,
# the tests and the tools are all instrumented alike.
if(MUREL_SANITIZE STREQUAL "address-undefined")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(MUREL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=thread)
elseif(NOT MUREL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "Unknown MUREL_SANITIZE value '${MUREL_SANITIZE}'")
endif()
