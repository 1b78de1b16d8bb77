-- Built on the reporting target (SQLite) from nothing but itself.
{{ config(target='reporting') }}
select 'DE' as country, 400 as revenue_target
union all select 'FR', 300
union all select 'NL', 150
union all select 'SE', 100
