# The usual hardening of a program that a distribution ships: a
# position-independent executable, full RELRO (the relocations resolved at
# start-up and their table made read-only), the stack protector on every
# function with a local array or address, and the C library's checked
# variants of its string and stdio functions (_FORTIFY_SOURCE).
# _FORTIFY_SOURCE needs optimisation (the C library warns without it), so it
# is defined for the optimised build types only, and not at all when the
# builder's own flags already choose a level.  ZAT_FORTIFIED is a generator
# expression: 1 where it is defined here, else 0.
string(TOUPPER "${CMAKE_BUILD_TYPE}" zat_build_type)
if("${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS} ${CMAKE_C_FLAGS_${zat_build_type}} ${CMAKE_CXX_FLAGS_${zat_build_type}}"
   MATCHES "_FORTIFY_SOURCE")
    set(ZAT_FORTIFIED 0)
else()
    set(ZAT_FORTIFIED "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
endif()

# zat_harden_program(TARGET): builds the executable TARGET hardened.
function(zat_harden_program target)
    # -fPIE from the property, -pie given directly: both compilers take it,
    # and CMake's own probe for it costs seconds of every fresh configure.
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_compile_options(${target} PRIVATE -fstack-protector-strong)
    target_link_options(${target} PRIVATE -pie LINKER:-z,relro,-z,now)
    target_compile_definitions(${target} PRIVATE $<${ZAT_FORTIFIED}:_FORTIFY_SOURCE=2>)
endfunction()
