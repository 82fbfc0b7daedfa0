# Settings are split by environment: base holds what they share.
