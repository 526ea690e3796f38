# Writes the mono and stereo PipeWire configurations and murel-microphone into murelOutputDir, for
# the bundle murelBundleDir and the model murelModel, with the configurations in murelConfigDir.
foreach(variant "murel-denoised-microphone,urn:murel:lv2:mono,1,MONO"
                "murel-denoised-microphone-stereo,urn:murel:lv2:stereo,2,FL FR")
  string(REPLACE "," ";" variant "${variant}")
  list(GET variant 0 name)
  list(GET variant 1 murelPluginUri)
  list(GET variant 2 murelChannels)
  list(GET variant 3 murelPositions)
  configure_file("${murelPipeWireTemplate}" "${murelOutputDir}/${name}.conf" @ONLY)
endforeach()
configure_file("${murelMicrophoneTemplate}" "${murelOutputDir}/murel-microphone" @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
