// bootstrap: removed once this directory has sources
