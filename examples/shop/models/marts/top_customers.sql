{{ config(materialized='view') }}
select customer_name, country, revenue
from {{ ref('customer_revenue') }}
order by revenue desc
limit 5
