// Views of the controller live here.
