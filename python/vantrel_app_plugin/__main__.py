from vantrel_app_plugin.cli import main

raise SystemExit(main())
