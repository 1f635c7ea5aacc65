# `cmake --install` lays out a station folder: the launcher at the top, the updater in
# "Pellock/", and the two configuration files a factory fills in per station. No demo data.
install(TARGETS Tovarin RUNTIME DESTINATION .)
install(TARGETS Pellock RUNTIME DESTINATION Pellock)
install(FILES ${CMAKE_SOURCE_DIR}/resource/station/serverConfig.ini
              ${CMAKE_SOURCE_DIR}/resource/station/CONFIGSET.ini DESTINATION .)

if(WIN32)
    # Windows finds DLLs beside the program and Qt its plugins below it, so both program
    # folders carry their own copies: the updater must run while the launcher's are replaced.
    set(runtime_files)
    foreach(target Qt5::Core Qt5::Gui Qt5::Widgets Qt5::Network Qt5::Svg QuaZip::QuaZip)
        list(APPEND runtime_files $<TARGET_FILE:${target}>)
    endforeach()
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll zlib1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${found}")
            find_file(found_${dll} ${dll} PATHS /usr/x86_64-w64-mingw32/lib NO_DEFAULT_PATH)
            set(found ${found_${dll}})
        endif()
        if(NOT EXISTS "${found}")
            message(FATAL_ERROR "${dll} not found for the station folder")
        endif()
        list(APPEND runtime_files ${found})
    endforeach()
    # libsodium's DLL stands beside its import library's prefix, in bin/.
    get_filename_component(sodium_prefix ${SODIUM_LIBRARY} DIRECTORY)
    file(GLOB sodium_dll ${sodium_prefix}/../bin/libsodium*.dll)
    if(NOT sodium_dll)
        message(FATAL_ERROR "libsodium's DLL not found for the station folder")
    endif()
    list(APPEND runtime_files ${sodium_dll})
    set(plugins platforms=Qt5::QWindowsIntegrationPlugin styles=Qt5::QWindowsVistaStylePlugin
        imageformats=Qt5::QSvgPlugin imageformats=Qt5::QJpegPlugin imageformats=Qt5::QGifPlugin
        imageformats=Qt5::QICOPlugin iconengines=Qt5::QSvgIconPlugin)
    foreach(folder . Pellock)
        install(FILES ${runtime_files} DESTINATION ${folder})
        foreach(plugin ${plugins})
            string(REPLACE "=" ";" parts ${plugin})
            list(GET parts 0 kind)
            list(GET parts 1 target)
            if(NOT TARGET ${target})
                message(FATAL_ERROR "Qt plugin ${target} not found for the station folder")
            endif()
            install(FILES $<TARGET_FILE:${target}> DESTINATION ${folder}/${kind})
        endforeach()
    endforeach()
endif()
