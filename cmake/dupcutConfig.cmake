# find_package(dupcut): dupcut::dupcut (shared) and dupcut::dupcut_static.
include(${CMAKE_CURRENT_LIST_DIR}/dupcutTargets.cmake)
