# Cross build only: the Wine fixtures, both built from the simulator.

# The test camera: a COM server DLL registered in the Wine prefix as a video-input device.
add_library(reflash_test_camera SHARED
  test_camera_server.cpp
  test_camera_scenario.cpp
  test_camera_server.def
)
set_target_properties(reflash_test_camera PROPERTIES PREFIX "" OUTPUT_NAME reflash_test_camera)
target_link_libraries(reflash_test_camera PRIVATE reflash_sim_session ole32 oleaut32 uuid
                      strmiids ksguid)

# The stand-in Configuration Manager, placed next to the program under test.
add_library(reflash_stand_in_cfgmgr32 SHARED
  stand_in_cfgmgr32.cpp
  test_camera_scenario.cpp
  stand_in_cfgmgr32.def
)
set_target_properties(reflash_stand_in_cfgmgr32 PROPERTIES PREFIX "" OUTPUT_NAME cfgmgr32)
target_link_libraries(reflash_stand_in_cfgmgr32 PRIVATE reflash_sim_session user32)
