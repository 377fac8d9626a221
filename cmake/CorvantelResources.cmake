# corvantel_add_resources(TARGET SOURCE_FILE): compiles a resource source file
# (message table, version information; format in platform/tools/corvrc/rc_source.h)
# with corvrc at build time and links the result into TARGET, whose program
# file then carries the resources in its "corvres" section.
function(corvantel_add_resources target source)
  get_filename_component(source_path "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(source_name "${source}" NAME_WE)
  set(generated "${CMAKE_CURRENT_BINARY_DIR}/${target}_${source_name}_resources.cpp")
  add_custom_command(
    OUTPUT "${generated}"
    COMMAND corvrc "${source_path}" -o "${generated}"
    DEPENDS corvrc "${source_path}"
    COMMENT "Compiling resources ${source} for ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE "${generated}")
endfunction()
