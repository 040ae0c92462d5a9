# velmora_version_note(target): embeds the version record (an ELF note) that
# GetFileVersionText reads back from the program file.
set(VELMORA_VERSION_BUILD 0 CACHE STRING "Fourth number of the program version")
function(velmora_version_note target)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/frontend/VersionNote.cpp)
  set_source_files_properties(${PROJECT_SOURCE_DIR}/frontend/VersionNote.cpp TARGET_DIRECTORY ${target} PROPERTIES
    COMPILE_DEFINITIONS "VELMORA_VERSION_MAJOR=${PROJECT_VERSION_MAJOR};VELMORA_VERSION_MINOR=${PROJECT_VERSION_MINOR};VELMORA_VERSION_PATCH=${PROJECT_VERSION_PATCH};VELMORA_VERSION_BUILD=${VELMORA_VERSION_BUILD}")
endfunction()
