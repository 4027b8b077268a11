# Warnings are errors for everything we compile ourselves.
add_compile_options(-Wall -Wextra -Wformat=2 -Wformat-nonliteral -Wshadow -Werror)

if(KIT_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(KIT_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KIT_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KIT_SANITIZE must be empty, address or thread")
endif()

# Deliverables carry libstdc++ (and libgcc) inside, so the board image needs
# nothing beyond glibc. A program that cancels threads keeps libgcc_s shared:
# glibc unwinds a cancelled thread through the shared libgcc_s, and with a
# static copy in the program that unwinding aborts.
# kit_deliverable(<target> [CANCELS_THREADS])
function(kit_deliverable target)
  cmake_parse_arguments(D "CANCELS_THREADS" "" "" ${ARGN})
  target_link_options(${target} PRIVATE -static-libstdc++)
  if(NOT D_CANCELS_THREADS)
    target_link_options(${target} PRIVATE -static-libgcc)
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
