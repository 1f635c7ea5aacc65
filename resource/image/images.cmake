# The picture bundle: every SVG under svg/<prefix>/ is rendered at build time to a PNG of the
# same name and served as ":/<prefix>/resource/image/<name>.png". Included from the widgets
# library, which compiles the bundle in.

set(IMAGE_SOURCE_DIR ${CMAKE_SOURCE_DIR}/resource/image/svg)
set(IMAGE_OUTPUT_DIR ${CMAKE_BINARY_DIR}/resource/image)
set(IMAGE_PREFIXES product toolicon login)

if(NOT TARGET svgtopng)
    add_executable(svgtopng ${CMAKE_SOURCE_DIR}/resource/image/svgtopng.cpp)
    target_link_libraries(svgtopng PRIVATE Qt5::Gui Qt5::Svg)
    set_target_properties(svgtopng PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
    # The renderer only runs during the build; sanitized, LeakSanitizer would fail the build over
    # what Qt's platform plugin keeps until exit.
    if(TOVARIN_SANITIZE OR TOVARIN_FUZZ)
        target_compile_options(svgtopng PRIVATE -fno-sanitize=all)
        target_link_options(svgtopng PRIVATE -fno-sanitize=all)
    endif()
endif()

set(IMAGE_QRC ${IMAGE_OUTPUT_DIR}/images.qrc)
set(IMAGE_QRC_TEXT "<!DOCTYPE RCC><RCC version=\"1.0\">\n")
set(IMAGE_PNGS)
foreach(prefix ${IMAGE_PREFIXES})
    file(GLOB svgs CONFIGURE_DEPENDS ${IMAGE_SOURCE_DIR}/${prefix}/*.svg)
    list(SORT svgs)
    set(pngs)
    string(APPEND IMAGE_QRC_TEXT "<qresource prefix=\"/${prefix}\">\n")
    foreach(svg ${svgs})
        get_filename_component(name ${svg} NAME_WE)
        set(png ${IMAGE_OUTPUT_DIR}/${prefix}/${name}.png)
        list(APPEND pngs ${png})
        string(APPEND IMAGE_QRC_TEXT "  <file alias=\"resource/image/${name}.png\">${png}</file>\n")
    endforeach()
    string(APPEND IMAGE_QRC_TEXT "</qresource>\n")
    if(pngs)
        add_custom_command(OUTPUT ${pngs}
            COMMAND svgtopng ${IMAGE_OUTPUT_DIR}/${prefix} ${svgs}
            DEPENDS svgtopng ${svgs}
            COMMENT "Rendering ${prefix} pictures"
            VERBATIM)
        list(APPEND IMAGE_PNGS ${pngs})
    endif()
endforeach()
string(APPEND IMAGE_QRC_TEXT "</RCC>\n")
file(MAKE_DIRECTORY ${IMAGE_OUTPUT_DIR})
# Rewritten only when the list changes, so a reconfigure does not rebuild the bundle.
set(old_qrc "")
if(EXISTS ${IMAGE_QRC})
    file(READ ${IMAGE_QRC} old_qrc)
endif()
if(NOT old_qrc STREQUAL IMAGE_QRC_TEXT)
    file(WRITE ${IMAGE_QRC} "${IMAGE_QRC_TEXT}")
endif()

set(IMAGE_RESOURCE_SOURCE ${IMAGE_OUTPUT_DIR}/qrc_images.cpp)
add_custom_command(OUTPUT ${IMAGE_RESOURCE_SOURCE}
    COMMAND Qt5::rcc --name images --output ${IMAGE_RESOURCE_SOURCE} ${IMAGE_QRC}
    DEPENDS ${IMAGE_QRC} ${IMAGE_PNGS}
    COMMENT "Bundling pictures"
    VERBATIM)
set_source_files_properties(${IMAGE_RESOURCE_SOURCE} PROPERTIES GENERATED TRUE SKIP_AUTOGEN ON)
