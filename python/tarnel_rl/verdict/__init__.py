"""The verdict on an agent: out-of-sample evaluation, its risk figures (metrics), the baselines it is
measured against, and the report's figure."""
