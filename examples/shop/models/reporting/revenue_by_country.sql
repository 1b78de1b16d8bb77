-- On the reporting target (SQLite), built from a warehouse model and a seed: both are copied
-- into the cache, the query runs in DuckDB and the result is loaded into SQLite.
{{ config(target='reporting') }}
select
    r.country,
    g.region,
    count(*) as customers,
    sum(r.orders) as orders,
    sum(r.revenue) as revenue
from {{ ref('customer_revenue') }} r
left join {{ ref('country_regions') }} g on g.country = r.country
group by r.country, g.region
