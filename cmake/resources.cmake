# kv_add_resources(target script): compiles a resource script with our resource
# compiler into a source file that defines the module's resource directory.
function(kv_add_resources target script)
  get_filename_component(abs ${script} ABSOLUTE)
  get_filename_component(dir ${abs} DIRECTORY)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
  set(dep ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.d)
  add_custom_command(
    OUTPUT ${out}
    COMMAND kvrc --depfile ${dep} -o ${out} ${abs}
    DEPENDS kvrc ${abs}
    DEPFILE ${dep}
    WORKING_DIRECTORY ${dir}
    COMMENT "Compiling resources ${script}")
  target_sources(${target} PRIVATE ${out})
endfunction()
