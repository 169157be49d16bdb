# The hardening a Debian package gets (dpkg-buildflags' defaults), for the Linux program, the targets
# under src/ (the tests do without): stack protector, glibc's checked string and I/O functions, a
# position-independent executable, and relocations made read-only after start-up. A builder's own
# choice wins: each flag is added only when CMAKE_CXX_FLAGS (with the build type's flags) or
# CMAKE_EXE_LINKER_FLAGS, which CXXFLAGS and LDFLAGS fill, say nothing of its kind;
# COMTERM_HARDENING=OFF adds none. Included after the src/ folders are added.
if(WIN32 OR NOT COMTERM_HARDENING)
  return()
endif()
string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
set(builder_compile " ${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${build_type}} ")
set(builder_link " ${CMAKE_EXE_LINKER_FLAGS} ${CMAKE_EXE_LINKER_FLAGS_${build_type}} ")
set(hardening "")
set(hardening_link "")

if(NOT builder_compile MATCHES "stack-protector")
  list(APPEND hardening -fstack-protector-strong)
endif()
# glibc checks only optimised code, and warns when asked to without optimisation.
if(NOT builder_compile MATCHES "_FORTIFY_SOURCE" AND builder_compile MATCHES " -O([1-9sgz]|fast) ")
  list(APPEND hardening -D_FORTIFY_SOURCE=2)
endif()
if(NOT "${builder_compile}${builder_link}" MATCHES " -f?(no-)?(pie|PIE) ")
  list(APPEND hardening -fPIE)
  list(APPEND hardening_link -pie)
endif()
if(NOT builder_link MATCHES "relro")
  list(APPEND hardening_link -Wl,-z,relro)
endif()
if(NOT builder_link MATCHES "-z[, ]?(now|lazy)")
  list(APPEND hardening_link -Wl,-z,now)
endif()

get_property(folders DIRECTORY PROPERTY SUBDIRECTORIES)
foreach(folder ${folders})
  string(FIND "${folder}/" "${PROJECT_SOURCE_DIR}/src/" where)
  if(NOT where EQUAL 0)
    continue()
  endif()
  get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    target_compile_options(${target} PRIVATE ${hardening})
    target_link_options(${target} PRIVATE ${hardening_link})
  endforeach()
endforeach()
# What was added, for the test that looks for it in the program.
set(COMTERM_HARDENING_FLAGS ${hardening} ${hardening_link})
list(JOIN COMTERM_HARDENING_FLAGS " " shown)
message(STATUS "Hardening the program with: ${shown}")
