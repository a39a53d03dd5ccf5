"""Files in and out: tree files through the engine's reader (`reader`), runs, selections and the location of a
fault in them (`sources`), parameter tables (`parameter_tables`), every output through one atomic writer
(`writers`) and the tiled path's Zarr stores (`tile_store`). Nothing here imports an analysis."""
